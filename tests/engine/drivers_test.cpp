// Both drivers and the per-mode operations on real files: round trips at the
// buffer edges, each driver reading what the other wrote, and the failure
// paths (rejected input leaves the file alone, I/O errors come back as -3
// with their errno, the stream is released exactly once).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/engine.h"
#include "engine/stream_runner.h"
#include "engine/testing.h"
#include "legacy/unixcrypt.h"
#include "tests/support/stream_ops.h"

namespace {

using namespace engine_test;

// Lengths just below, at and above multiples of 32 and of both drivers'
// buffer sizes.
const std::size_t edge_lengths[] = {0,     1,     31,    32,    33,    991,   992,   993,   1023,
                                    1024,  1025,  1055,  1056,  1057,  10207, 10208, 10239, 10240,
                                    10241, 10271, 10272, 10273, 20479, 20480, 20481, 30752, 31000};

using fd_operation = std::function<int(int)>;
using file_operation = std::function<int(std::FILE*, std::FILE*)>;

// Runs `op` over `path` in place; the descriptor must end at the new end.
int in_place(const std::string& path, const fd_operation& op) {
    fd_guard fd{open(path.c_str(), O_RDWR)};
    if (fd.fd < 0) throw std::runtime_error("open failed");
    const int result = op(fd.fd);
    if (result == 0) {
        struct stat info;
        fstat(fd.fd, &info);
        EXPECT_EQ(lseek(fd.fd, 0, SEEK_CUR), info.st_size);
    }
    return result;
}

// Runs `op` from `from` into a new file `to`, flushing it.
int through_files(const std::string& from, const std::string& to, const file_operation& op) {
    file_guard in{std::fopen(from.c_str(), "rb")};
    file_guard out{std::fopen(to.c_str(), "wb")};
    if (in.f == nullptr || out.f == nullptr) throw std::runtime_error("fopen failed");
    const int result = op(in.f, out.f);
    EXPECT_EQ(std::fflush(out.f), 0);
    return result;
}

const fd_operation encrypt_fd = [](int fd) { return encrypt_in_place(fd, "driver key"); };
const fd_operation decrypt_fd = [](int fd) { return decrypt_in_place(fd, "driver key"); };
const file_operation encrypt_stream = [](std::FILE* in, std::FILE* out) {
    return encrypt_file(in, out, "driver key");
};
const file_operation decrypt_stream = [](std::FILE* in, std::FILE* out) {
    return decrypt_file(in, out, "driver key", 0);
};

TEST(drivers, round_trips_and_cross_reads_at_buffer_edges) {
    const temp_dir dir;
    for (std::size_t length : edge_lengths) {
        SCOPED_TRACE("length " + std::to_string(length));
        const bytes plain = random_bytes(length, static_cast<std::uint32_t>(length) + 1);
        const std::string a = dir.file("a"), b = dir.file("b"), c = dir.file("c");

        // In place, both ways.
        write_file(a, plain);
        ASSERT_EQ(in_place(a, encrypt_fd), 0);
        const bytes sealed_in_place = read_file(a);
        ASSERT_EQ(sealed_in_place.size(), length + 32);
        ASSERT_EQ(in_place(a, decrypt_fd), 0);
        EXPECT_EQ(read_file(a), plain);

        // Written in place, read through FILE streams.
        write_file(a, sealed_in_place);
        ASSERT_EQ(through_files(a, b, decrypt_stream), 0);
        EXPECT_EQ(read_file(b), plain);

        // Written through FILE streams, read in place.
        write_file(a, plain);
        ASSERT_EQ(through_files(a, b, encrypt_stream), 0);
        ASSERT_EQ(read_file(b).size(), length + 32);
        ASSERT_EQ(in_place(b, decrypt_fd), 0);
        EXPECT_EQ(read_file(b), plain);

        // Key change both ways, then decrypted by the other driver.
        ASSERT_EQ(through_files(a, b, encrypt_stream), 0);
        ASSERT_EQ(in_place(b, [](int fd) { return keychange_in_place(fd, "driver key", "next"); }),
                  0);
        ASSERT_EQ(read_file(b).size(), length + 32);
        ASSERT_EQ(through_files(b, c,
                                [](std::FILE* in, std::FILE* out) {
                                    return keychange_file(in, out, "next", "driver key");
                                }),
                  0);
        ASSERT_EQ(in_place(c, decrypt_fd), 0);
        EXPECT_EQ(read_file(c), plain);
    }
}

TEST(drivers, pump_file_empty_input) {
    const temp_dir dir;
    write_file(dir.file("empty"), bytes{});
    ASSERT_EQ(through_files(dir.file("empty"), dir.file("sealed"), encrypt_stream), 0);
    EXPECT_EQ(read_file(dir.file("sealed")).size(), 32u);

    {
        file_guard in{std::fopen(dir.file("empty").c_str(), "rb")};
        file_guard out{std::fopen(dir.file("plain").c_str(), "wb")};
        const stream_result r = run_stream(decrypt_kind, {"driver key", nullptr, 0}, in.f, out.f);
        EXPECT_EQ(r.code, -2);
        EXPECT_EQ(r.detail, fault_bad_format);
    }
    EXPECT_TRUE(read_file(dir.file("plain")).empty());
}

TEST(drivers, decrypt_file_honours_mismatch_and_in_place_does_not) {
    const temp_dir dir;
    const bytes plain = random_bytes(500, 4);
    write_file(dir.file("p"), plain);
    ASSERT_EQ(through_files(dir.file("p"), dir.file("s"), encrypt_stream), 0);

    ASSERT_EQ(through_files(dir.file("s"), dir.file("out"),
                            [](std::FILE* in, std::FILE* out) {
                                return decrypt_file(in, out, "other key", 1);
                            }),
              0);
    EXPECT_EQ(read_file(dir.file("out")).size(), plain.size());
    EXPECT_EQ(through_files(dir.file("s"), dir.file("out"),
                            [](std::FILE* in, std::FILE* out) {
                                return decrypt_file(in, out, "other key", 0);
                            }),
              -2);
    EXPECT_TRUE(read_file(dir.file("out")).empty());
}

TEST(drivers, unixcrypt_file_is_its_own_inverse) {
    const temp_dir dir;
    const bytes plain = random_bytes(70000, 8);
    write_file(dir.file("p"), plain);
    const file_operation legacy = [](std::FILE* in, std::FILE* out) {
        return unixcrypt_file(in, out, "oldkey");
    };
    ASSERT_EQ(through_files(dir.file("p"), dir.file("c"), legacy), 0);
    const bytes scrambled = read_file(dir.file("c"));
    ASSERT_EQ(scrambled.size(), plain.size());
    EXPECT_NE(scrambled, plain);
    ASSERT_EQ(through_files(dir.file("c"), dir.file("back"), legacy), 0);
    EXPECT_EQ(read_file(dir.file("back")), plain);
}

// A file that the stream rejects is never written to.
TEST(drivers, rejected_input_leaves_the_file_untouched) {
    const temp_dir dir;
    const std::string path = dir.file("f");
    const bytes plain = random_bytes(25000, 12);
    write_file(path, plain);
    ASSERT_EQ(in_place(path, encrypt_fd), 0);
    const bytes sealed = read_file(path);

    const struct {
        const char* what;
        bytes content;
        const stream_kind* kind;
        const char* keyword;
        int fault;
    } cases[] = {
        {"wrong key", sealed, &decrypt_kind, "wrong", fault_key_mismatch},
        {"wrong old key", sealed, &keychange_kind, "wrong", fault_key_mismatch},
        {"31 bytes", bytes(sealed.begin(), sealed.begin() + 31), &decrypt_kind, "driver key",
         fault_bad_format},
        {"31 bytes, key change", bytes(sealed.begin(), sealed.begin() + 31), &keychange_kind,
         "driver key", fault_bad_format},
        {"empty", bytes{}, &decrypt_kind, "driver key", fault_bad_format},
    };
    for (const auto& c : cases) {
        write_file(path, c.content);
        fd_guard fd{open(path.c_str(), O_RDWR)};
        const stream_result r = run_stream_in_place(*c.kind, {c.keyword, "x", 0}, fd.fd);
        EXPECT_EQ(r.code, -2) << c.what;
        EXPECT_EQ(r.detail, c.fault) << c.what;
        EXPECT_EQ(read_file(path), c.content) << c.what;
    }
}

TEST(drivers, header_only_file_decrypts_in_place_to_empty) {
    const temp_dir dir;
    const std::string path = dir.file("f");
    write_file(path, bytes{});
    ASSERT_EQ(in_place(path, encrypt_fd), 0);
    ASSERT_EQ(read_file(path).size(), 32u);
    ASSERT_EQ(in_place(path, decrypt_fd), 0);
    EXPECT_TRUE(read_file(path).empty());
}

// ---- Failure paths: the detail survives the release ------------------------

int end_calls = 0;
int counted_encrypt_end(cipher_stream* stream) {
    ++end_calls;
    encrypt_end(stream);
    errno = 0; // a release must not be able to disturb the reported detail
    stream->fault = 99;
    return 0;
}
int counted_decrypt_end(cipher_stream* stream) {
    ++end_calls;
    return decrypt_end(stream);
}

TEST(drivers, pump_file_write_failure_is_io_error_with_its_errno) {
    const temp_dir dir;
    write_file(dir.file("p"), random_bytes(5000, 1));
    file_guard in{std::fopen(dir.file("p").c_str(), "rb")};
    file_guard out{std::fopen("/dev/full", "wb")};
    ASSERT_NE(out.f, nullptr);
    std::setvbuf(out.f, nullptr, _IONBF, 0); // let the driver's own fwrite fail

    cipher_stream stream{};
    ASSERT_EQ(encrypt_init(&stream, "k"), 0);
    end_calls = 0;
    const stream_result result =
        pump_file({&stream, encrypt_step, counted_encrypt_end}, {in.f, out.f});
    EXPECT_EQ(result.code, -3);
    EXPECT_EQ(result.detail, ENOSPC);
    EXPECT_EQ(result.side, io_side::output);
    EXPECT_EQ(end_calls, 1);
    EXPECT_STREQ(result_message(result), std::strerror(ENOSPC));
}

TEST(drivers, pump_file_read_failure_is_io_error) {
    const temp_dir dir;
    file_guard in{std::fopen(dir.file("write-only").c_str(), "wb")};
    file_guard out{std::fopen(dir.file("out").c_str(), "wb")};
    cipher_stream stream{};
    ASSERT_EQ(encrypt_init(&stream, "k"), 0);
    end_calls = 0;
    const stream_result result =
        pump_file({&stream, encrypt_step, counted_encrypt_end}, {in.f, out.f});
    EXPECT_EQ(result.code, -3);
    EXPECT_EQ(result.detail, EBADF);
    EXPECT_EQ(result.side, io_side::input);
    EXPECT_EQ(end_calls, 1);
}

TEST(drivers, failing_step_is_not_followed_by_end) {
    const temp_dir dir;
    write_file(dir.file("p"), random_bytes(3000, 2));
    ASSERT_EQ(through_files(dir.file("p"), dir.file("s"), encrypt_stream), 0);
    {
        file_guard in{std::fopen(dir.file("s").c_str(), "rb")};
        file_guard out{std::fopen(dir.file("o").c_str(), "wb")};
        cipher_stream stream{};
        ASSERT_EQ(decrypt_init(&stream, "wrong", 0), 0);
        end_calls = 0;
        EXPECT_EQ(pump_file({&stream, decrypt_step, counted_decrypt_end}, {in.f, out.f}).code, -2);
        EXPECT_EQ(end_calls, 0);
    }
    const bytes before = read_file(dir.file("s"));
    fd_guard fd{open(dir.file("s").c_str(), O_RDWR)};
    cipher_stream stream{};
    ASSERT_EQ(decrypt_init(&stream, "wrong", 0), 0);
    end_calls = 0;
    EXPECT_EQ(pump_fd_in_place({&stream, decrypt_step, counted_decrypt_end}, {fd.fd}).code, -2);
    EXPECT_EQ(end_calls, 0);
    EXPECT_EQ(read_file(dir.file("s")), before);
}

TEST(drivers, in_place_write_failure_on_a_read_only_descriptor) {
    const temp_dir dir;
    const std::string path = dir.file("f");
    const bytes plain = random_bytes(12000, 3);
    write_file(path, plain);
    ASSERT_EQ(in_place(path, encrypt_fd), 0);
    const bytes sealed = read_file(path);

    for (const auto& [what, op, content] :
         {std::tuple{"decrypt", decrypt_fd, sealed}, std::tuple{"encrypt", encrypt_fd, plain}}) {
        write_file(path, content);
        fd_guard fd{open(path.c_str(), O_RDONLY)};
        errno = 0;
        EXPECT_EQ(op(fd.fd), -3) << what;
        EXPECT_EQ(errno, EBADF) << what;
        EXPECT_EQ(read_file(path), content) << what;
    }
}

int clobbering_decrypt_end(cipher_stream* stream) {
    ++end_calls;
    decrypt_end(stream);
    errno = 0;
    stream->fault = 99;
    return 0;
}

// The driver itself, with ends that disturb errno and the fault: the
// caller still sees the failing call's errno.
TEST(drivers, in_place_failure_keeps_errno_across_the_release) {
    const temp_dir dir;
    const std::string path = dir.file("f");
    const bytes plain = random_bytes(30000, 5);
    write_file(path, encrypt_bytes("k", plain).output);
    const bytes sealed = read_file(path);

    const struct {
        const char* what;
        std::function<int(cipher_stream*)> init;
        stream_step_fn step;
        stream_end_fn end;
        std::int32_t growth;
    } cases[] = {
        {"encrypt, growth refused", [](cipher_stream* s) { return encrypt_init(s, "k"); },
         encrypt_step, counted_encrypt_end, 32},
        {"decrypt, write refused", [](cipher_stream* s) { return decrypt_init(s, "k", 0); },
         decrypt_step, clobbering_decrypt_end, 0},
    };
    for (const auto& c : cases) {
        fd_guard fd{open(path.c_str(), O_RDONLY)};
        cipher_stream stream{};
        ASSERT_EQ(c.init(&stream), 0);
        end_calls = 0;
        const stream_result result = pump_fd_in_place({&stream, c.step, c.end}, {fd.fd, c.growth});
        EXPECT_EQ(result.code, -3) << c.what;
        EXPECT_EQ(result.detail, EBADF) << c.what;
        EXPECT_EQ(end_calls, 1) << c.what;
        EXPECT_EQ(read_file(path), sealed) << c.what;
    }
}

// Test stream kinds that break the driver's assumptions: one that writes
// twice what it reads (it cannot consume a full input buffer), and one that
// adds 32 bytes at every step (its lag behind the reads eventually exceeds
// the read-ahead of one buffer).
int doubling_step(cipher_stream* stream) {
    while (stream->in_left > 0 && stream->out_left >= 2) {
        *stream->out_ptr++ = *stream->in_ptr;
        *stream->out_ptr++ = *stream->in_ptr++;
        stream->out_left -= 2;
        --stream->in_left;
    }
    return 0;
}
int counted_end(cipher_stream*) {
    ++end_calls;
    return 0;
}

int refusing_step(cipher_stream* stream) {
    stream->state = nullptr;
    stream->fault = fault_key_mismatch;
    return -2;
}

// A last step whose output does not fit the output buffer: the stream
// driver keeps stepping until the stream has given everything it owes.
TEST(drivers, pump_file_drains_a_stream_that_owes_more_than_one_buffer_at_the_end) {
    const temp_dir dir;
    bytes data(700);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7);
    write_file(dir.file("in"), data);
    file_guard in{std::fopen(dir.file("in").c_str(), "rb")};
    file_guard out{std::fopen(dir.file("out").c_str(), "wb")};
    cipher_stream stream{};
    end_calls = 0;
    ASSERT_TRUE(pump_file({&stream, doubling_step, counted_end}, {in.f, out.f}).ok());
    std::fclose(out.f);
    out.f = nullptr;
    bytes doubled;
    for (std::uint8_t b : data) {
        doubled.push_back(b);
        doubled.push_back(b);
    }
    EXPECT_EQ(read_file(dir.file("out")), doubled);
    EXPECT_EQ(end_calls, 1);
}

// Growth secured for a stream that then fails before anything is written
// is taken back: the file keeps its length.
TEST(drivers, secured_growth_is_taken_back_when_the_stream_fails) {
    const temp_dir dir;
    const std::string path = dir.file("f");
    const bytes content = random_bytes(12345, 9);
    write_file(path, content);
    fd_guard fd{open(path.c_str(), O_RDWR)};
    cipher_stream stream{};
    end_calls = 0;
    const stream_result result =
        pump_fd_in_place({&stream, refusing_step, counted_end}, {fd.fd, 32});
    EXPECT_EQ(result.code, -2);
    EXPECT_EQ(result.detail, fault_key_mismatch);
    EXPECT_EQ(end_calls, 0);
    EXPECT_EQ(read_file(path), content);
}

TEST(drivers, in_place_buffer_overflow) {
    const temp_dir dir;
    const std::string path = dir.file("f");

    const bytes small = random_bytes(20000, 4);
    write_file(path, small);
    cipher_stream stream{};
    end_calls = 0;
    stream_result result;
    {
        fd_guard fd{open(path.c_str(), O_RDWR)};
        result = pump_fd_in_place({&stream, doubling_step, counted_end}, {fd.fd});
    }
    EXPECT_EQ(result.code, -2);
    EXPECT_EQ(result.detail, fault_buffer_overflow);
    EXPECT_EQ(end_calls, 1);
    EXPECT_EQ(read_file(path), small); // failed before its first write
    EXPECT_STREQ(result_message(result), "buffer overflow");

    // 32 more bytes per buffer read: the lag passes one buffer after as many
    // passes as a buffer has 32-byte groups (320 of the plain driver's 10240
    // bytes), with the helper thread or without.
    const struct {
        const char* what;
        overlap_setting setting;
        std::size_t length;
    } lagging[] = {
        {"10240-byte buffers, no helper", {overlap_choice::never, 0}, 400 * 10240},
        {"1024-byte chunks on the helper", {overlap_choice::always, 1024}, 40 * 1024},
    };
    for (const auto& c : lagging) {
        const overlap_setting before = set_overlap_for_testing(c.setting);
        write_file(path, bytes(c.length, 1));
        end_calls = 0;
        {
            fd_guard fd{open(path.c_str(), O_RDWR)};
            result = pump_fd_in_place({&stream, padding_step, counted_end}, {fd.fd});
        }
        set_overlap_for_testing(before);
        EXPECT_EQ(result.code, -2) << c.what;
        EXPECT_EQ(result.detail, fault_buffer_overflow) << c.what;
        EXPECT_EQ(end_calls, 1) << c.what;
    }
}

} // namespace

// Schedules made once for a run must give every stream exactly what its
// own keyword would: each kind, through both drivers, the CR candidate of
// a decryption included. The last rows hand over schedules of another
// keyword: the streams must take them, not make their own again.
TEST(drivers, prepared_schedules_stand_for_the_keywords) {
    const temp_dir dir;
    const fixed_nonce nonce(7);
    const bytes plain = random_bytes(1057, 9);
    auto sealed_under = [&](const char* keyword) {
        write_file(dir.file("s"), plain);
        EXPECT_EQ(in_place(dir.file("s"), [&](int fd) { return encrypt_in_place(fd, keyword); }),
                  0);
        return read_file(dir.file("s"));
    };
    struct row {
        const char* label;
        const stream_kind* kind;
        const char* keyword;
        const char* keyword2;
        const char* prepared_from; // first keyword of the schedules; the second is keyword2's
        bytes input;
    };
    const row rows[] = {
        {"encrypt", &encrypt_kind, "k", nullptr, "k", plain},
        {"decrypt", &decrypt_kind, "k", nullptr, "k", sealed_under("k")},
        {"decrypt, keyword + CR", &decrypt_kind, "k", nullptr, "k", sealed_under("k\r")},
        {"decrypt, wrong key", &decrypt_kind, "k", nullptr, "k", sealed_under("other")},
        {"key change", &keychange_kind, "k", "n", "k", sealed_under("k")},
        {"key change, old keyword + CR", &keychange_kind, "k", "n", "k", sealed_under("k\r")},
        {"encrypt, another's schedule", &encrypt_kind, "k", nullptr, "other", plain},
        {"decrypt, another's schedule", &decrypt_kind, "k", nullptr, "other",
         sealed_under("other")},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.label);
        prepared_keys* prepared = prepare_keys(r.prepared_from, r.keyword2);
        ASSERT_NE(prepared, nullptr);
        // What the stream must give: that of the keyword the schedules were made from.
        const stream_keys own{r.prepared_from, r.keyword2, 0};
        const stream_keys given{r.keyword, r.keyword2, 0, prepared};
        for (bool file_to_file : {true, false}) {
            SCOPED_TRACE(file_to_file ? "file to file" : "in place");
            bytes out[2];
            int codes[2];
            for (int i = 0; i < 2; ++i) {
                const stream_keys& keys = i == 0 ? own : given;
                write_file(dir.file("a"), r.input);
                if (file_to_file) {
                    codes[i] = through_files(dir.file("a"), dir.file("b"),
                                             [&](std::FILE* in, std::FILE* o) {
                                                 return code_of(run_stream(*r.kind, keys, in, o));
                                             });
                    out[i] = read_file(dir.file("b"));
                } else {
                    codes[i] = in_place(dir.file("a"), [&](int fd) {
                        return code_of(run_stream_in_place(*r.kind, keys, fd));
                    });
                    out[i] = read_file(dir.file("a"));
                }
            }
            EXPECT_EQ(codes[1], codes[0]);
            EXPECT_EQ(out[1], out[0]);
        }
        release_prepared_keys(prepared);
    }
}
