// Result texts and the key-reference check.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/engine.h"
#include "engine/stream_runner.h"

namespace {

using namespace engine_test;

TEST(result_message, texts_of_every_code) {
    const struct {
        int code;
        int detail;
        std::string text;
    } cases[] = {
        {-1, ENOMEM, std::strerror(ENOMEM)},
        {-3, ENOSPC, std::strerror(ENOSPC)},
        {-3, EIO, std::strerror(EIO)},
        {-2, 1, "bad file format"},
        {-2, 2, "key does not match"},
        {-2, 3, "buffer overflow"},
        {-2, 0, "unknown error"},
        {-2, 4, "changed size while being processed"},
        {-2, 5, "unknown error"},
        {-2, -1, "unknown error"},
        {0, 1, "unknown error"},
        {-4, EIO, "unknown error"},
        {1, 2, "unknown error"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(result_message(stream_result{c.code, c.detail}), c.text)
            << c.code << " " << c.detail;
}

// Which results count as a rejected input and which as a failed write: the
// run's status rests on these.
TEST(stream_result, rejections_and_write_failures) {
    const struct {
        int code;
        int detail;
        bool rejected;
        bool io_failed;
    } cases[] = {
        {0, 0, false, false},
        {-2, 1, true, false},
        {-2, 2, true, false},
        {-2, 3, false, false},
        {-2, 4, false, true},
        {-3, EIO, false, true},
        {-3, fault_bad_format, false, true},
        {-1, ENOMEM, false, false},
        {-1, 2, false, false},
    };
    for (const auto& c : cases) {
        const stream_result r{c.code, c.detail};
        EXPECT_EQ(r.rejected(), c.rejected) << c.code << " " << c.detail;
        EXPECT_EQ(r.io_failed(), c.io_failed) << c.code << " " << c.detail;
        EXPECT_EQ(r.ok(), c.code == 0);
    }
}

struct reference_file {
    temp_dir dir;
    std::FILE* f = nullptr;
    explicit reference_file(const bytes& content) {
        write_file(dir.file("ref"), content);
        f = std::fopen(dir.file("ref").c_str(), "rb");
    }
    ~reference_file() { std::fclose(f); }
};

TEST(check_key_reference, header_only_file) {
    const bytes header = encrypt_bytes("reference", bytes{}).output;
    {
        const reference_file ref(header);
        EXPECT_EQ(check_key_reference(ref.f, "reference").code, 0);
        EXPECT_EQ(std::ftell(ref.f), 32); // read, not rewound
    }
    {
        const reference_file ref(header);
        const stream_result r = check_key_reference(ref.f, "other");
        EXPECT_EQ(r.code, -2);
        EXPECT_EQ(r.detail, fault_key_mismatch);
    }
}

TEST(check_key_reference, carriage_return_form_and_longer_files) {
    const bytes sealed = encrypt_bytes("typed\r", bytes(5000, 1)).output;
    const reference_file ref(sealed);
    EXPECT_EQ(check_key_reference(ref.f, "typed").code, 0);
    EXPECT_EQ(std::ftell(ref.f), 32);
}

TEST(check_key_reference, short_files_are_bad_format) {
    const bytes header = encrypt_bytes("reference", bytes{}).output;
    for (std::size_t length : {0u, 1u, 31u}) {
        const reference_file ref(bytes(header.begin(), header.begin() + static_cast<long>(length)));
        const stream_result r = check_key_reference(ref.f, "reference");
        EXPECT_EQ(r.code, -2) << length;
        EXPECT_EQ(r.detail, fault_bad_format) << length;
    }
}

// Where the stream already stands at a header, the check starts there and
// clears an earlier end-of-file indication.
TEST(check_key_reference, starts_at_the_current_position) {
    bytes content = {'x', 'y', 'z'};
    const bytes header = encrypt_bytes("later", bytes{}).output;
    content.insert(content.end(), header.begin(), header.end());
    const reference_file ref(content);
    char skip[3];
    ASSERT_EQ(std::fread(skip, 1, 3, ref.f), 3u);
    EXPECT_EQ(check_key_reference(ref.f, "later").code, 0);

    std::fseek(ref.f, 3, SEEK_SET);
    char all[64];
    (void)!std::fread(all, 1, sizeof all, ref.f); // sets end-of-file
    std::fseek(ref.f, 3, SEEK_SET);
    EXPECT_EQ(check_key_reference(ref.f, "later").code, 0);
}

TEST(check_key_reference, read_error) {
    const temp_dir dir;
    std::FILE* f = std::fopen(dir.file("w").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    const stream_result r = check_key_reference(f, "k");
    EXPECT_EQ(r.code, -3);
    EXPECT_EQ(r.detail, EBADF);
    std::fclose(f);
}

} // namespace
