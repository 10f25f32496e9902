// Result texts and the key-reference check.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/engine.h"
#include "engine/stream_runner.h"

namespace {

using namespace engine_test;

TEST(result_message, texts_of_every_code)
{
    const struct {
        int code;
        int error;
        int fault;
        std::string text;
    } cases[] = {
        {-1, ENOMEM, 0, std::strerror(ENOMEM)},
        {-3, ENOSPC, 2, std::strerror(ENOSPC)},
        {-3, EIO, 0, std::strerror(EIO)},
        {-2, 0, 1, "bad file format"},
        {-2, 0, 2, "key does not match"},
        {-2, 0, 3, "buffer overflow"},
        {-2, 0, 0, "unknown error"},
        {-2, 0, 4, "changed size while being processed"},
        {-2, 0, 5, "unknown error"},
        {-2, ENOENT, -1, "unknown error"},
        {0, ENOENT, 1, "unknown error"},
        {-4, EIO, 1, "unknown error"},
        {1, 0, 2, "unknown error"},
    };
    for (const auto& c : cases) {
        errno = c.error;
        stream_fault = c.fault;
        EXPECT_EQ(result_message(c.code), c.text) << c.code << " " << c.fault;
    }
}

struct reference_file {
    temp_dir dir;
    std::FILE* f = nullptr;
    explicit reference_file(const bytes& content)
    {
        write_file(dir.file("ref"), content);
        f = std::fopen(dir.file("ref").c_str(), "rb");
    }
    ~reference_file() { std::fclose(f); }
};

TEST(check_key_reference, header_only_file)
{
    const bytes header = encrypt_bytes("reference", bytes{}).output;
    {
        const reference_file ref(header);
        EXPECT_EQ(check_key_reference(ref.f, "reference"), 0);
        EXPECT_EQ(std::ftell(ref.f), 32); // read, not rewound
    }
    {
        const reference_file ref(header);
        stream_fault = 0;
        EXPECT_EQ(check_key_reference(ref.f, "other"), -2);
        EXPECT_EQ(stream_fault, fault_key_mismatch);
    }
}

TEST(check_key_reference, carriage_return_form_and_longer_files)
{
    const bytes sealed = encrypt_bytes("typed\r", bytes(5000, 1)).output;
    const reference_file ref(sealed);
    EXPECT_EQ(check_key_reference(ref.f, "typed"), 0);
    EXPECT_EQ(std::ftell(ref.f), 32);
}

TEST(check_key_reference, short_files_are_bad_format)
{
    const bytes header = encrypt_bytes("reference", bytes{}).output;
    for (std::size_t length : {0u, 1u, 31u}) {
        const reference_file ref(bytes(header.begin(), header.begin() + static_cast<long>(length)));
        stream_fault = 0;
        EXPECT_EQ(check_key_reference(ref.f, "reference"), -2) << length;
        EXPECT_EQ(stream_fault, fault_bad_format) << length;
    }
}

// Where the stream already stands at a header, the check starts there and
// clears an earlier end-of-file indication.
TEST(check_key_reference, starts_at_the_current_position)
{
    bytes content = {'x', 'y', 'z'};
    const bytes header = encrypt_bytes("later", bytes{}).output;
    content.insert(content.end(), header.begin(), header.end());
    const reference_file ref(content);
    char skip[3];
    ASSERT_EQ(std::fread(skip, 1, 3, ref.f), 3u);
    EXPECT_EQ(check_key_reference(ref.f, "later"), 0);

    std::fseek(ref.f, 3, SEEK_SET);
    char all[64];
    (void)!std::fread(all, 1, sizeof all, ref.f); // sets end-of-file
    std::fseek(ref.f, 3, SEEK_SET);
    EXPECT_EQ(check_key_reference(ref.f, "later"), 0);
}

TEST(check_key_reference, read_error)
{
    const temp_dir dir;
    std::FILE* f = std::fopen(dir.file("w").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    errno = 0;
    EXPECT_EQ(check_key_reference(f, "k"), -3);
    EXPECT_EQ(errno, EBADF);
    std::fclose(f);
}

} // namespace
