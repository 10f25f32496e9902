// The stream engine:
// - the encryption, decryption and key-change streams in memory, stepped
//   with the in-place driver's buffer sizes (10240 in, 10272 out), per
//   cipher path: encryption is serial CFB (one block latency per 32 bytes),
//   decryption sees all its feedback blocks at once;
// - the legacy rotor stream in memory;
// - pump_fd_in_place over a 256 MiB file in /tmp: encryption and decryption
//   in place, each timed on its own, with the growth of the process's peak
//   resident size as a counter to show that memory does not grow with the
//   file.
// Paths the CPU lacks are left out.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cipher/cipher_paths.h"
#include "engine/engine.h"
#include "engine/testing.h"
#include "legacy/unixcrypt.h"
#include "tests/support/stream_ops.h"

namespace {

constexpr std::int32_t input_size = 10240;
constexpr std::int32_t output_size = input_size + 32;
constexpr std::size_t file_bytes = std::size_t{256} << 20;

std::vector<std::uint8_t> pattern(std::size_t count) {
    std::vector<std::uint8_t> data(count);
    std::uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245 + 12345;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return data;
}

// Steps an open stream over `input` in driver-sized pieces, as often as the
// benchmark wants; the stream never ends, so one init serves all passes.
void pump_in_memory(benchmark::State& state, cipher_stream& stream, stream_step_fn step,
                    const std::vector<std::uint8_t>& input) {
    std::vector<std::uint8_t> output(output_size);
    for (auto _ : state) {
        stream.in_ptr = input.data();
        stream.in_left = input_size;
        stream.out_ptr = output.data();
        stream.out_left = output_size;
        step(&stream);
        benchmark::DoNotOptimize(output.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * input_size);
}

void bm_encrypt_stream(benchmark::State& state, cipher_path path) {
    force_cipher_path(path);
    const auto input = pattern(input_size);
    cipher_stream stream{};
    encrypt_init(&stream, "benchmark keyword");
    pump_in_memory(state, stream, encrypt_step, input);
    encrypt_end(&stream);
}

// The same stream as the drivers' helper feeds it: 512 KiB steps over 64 MiB
// of input into three output chunks in turn, so the input comes from memory
// rather than the first-level cache. Beside encrypt_stream, what uncached
// input costs the chain.
void bm_encrypt_stream_uncached(benchmark::State& state, cipher_path path) {
    force_cipher_path(path);
    constexpr std::int32_t step = 512 * 1024;
    const auto input = pattern(std::size_t{64} << 20);
    std::vector<std::uint8_t> output(3 * std::size_t(step + 32));
    cipher_stream stream{};
    encrypt_init(&stream, "benchmark keyword");
    std::size_t at = 0;
    std::size_t slot = 0;
    for (auto _ : state) {
        stream.in_ptr = input.data() + at;
        stream.in_left = step;
        stream.out_ptr = output.data() + slot * std::size_t(step + 32);
        stream.out_left = step + 32;
        encrypt_step(&stream);
        at = at + 2 * std::size_t(step) > input.size() ? 0 : at + step;
        slot = (slot + 1) % 3;
        benchmark::ClobberMemory();
    }
    encrypt_end(&stream);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * step);
}

// Decryption under mismatch: any bytes are a stream, and the header check
// happens once, in the first pass.
void bm_decrypt_stream(benchmark::State& state, cipher_path path) {
    force_cipher_path(path);
    const auto input = pattern(input_size);
    cipher_stream stream{};
    decrypt_init(&stream, "benchmark keyword", 1);
    pump_in_memory(state, stream, decrypt_step, input);
    decrypt_end(&stream);
}

void bm_keychange_stream(benchmark::State& state, cipher_path path) {
    force_cipher_path(path);
    auto plain = pattern(input_size * 64);
    // A real encrypted stream, long enough that the benchmark can keep
    // feeding body bytes; it is fed round and round as if endless.
    std::vector<std::uint8_t> sealed(plain.size() + 32);
    {
        cipher_stream enc{};
        encrypt_init(&enc, "old");
        enc.in_ptr = plain.data();
        enc.in_left = static_cast<std::int32_t>(plain.size());
        enc.out_ptr = sealed.data();
        enc.out_left = static_cast<std::int32_t>(sealed.size());
        encrypt_step(&enc);
        encrypt_end(&enc);
    }
    cipher_stream stream{};
    keychange_init(&stream, "old", "new");
    std::vector<std::uint8_t> output(output_size);
    std::size_t at = 0;
    for (auto _ : state) {
        if (at + input_size > sealed.size()) at = 32; // body again; the header was consumed once
        stream.in_ptr = sealed.data() + at;
        stream.in_left = input_size;
        stream.out_ptr = output.data();
        stream.out_left = output_size;
        keychange_step(&stream);
        at += input_size;
        benchmark::DoNotOptimize(output.data());
    }
    keychange_end(&stream);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * input_size);
}

void bm_unixcrypt_stream(benchmark::State& state) {
    const auto input = pattern(input_size);
    cipher_stream stream{};
    unixcrypt_init(&stream, "legacy");
    pump_in_memory(state, stream, unixcrypt_step, input);
    unixcrypt_end(&stream);
}

long peak_rss_kib() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// A 256 MiB file in /tmp, made once per benchmark and removed at its end.
struct big_file {
    char name[32] = "/tmp/ostrel-bench-XXXXXX";
    int fd = -1;

    bool make() {
        fd = mkstemp(name);
        if (fd < 0) return false;
        const auto block = pattern(std::size_t{1} << 20);
        for (std::size_t done = 0; done < file_bytes; done += block.size())
            if (write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
                return false;
        return true;
    }
    ~big_file() {
        if (fd >= 0) {
            close(fd);
            unlink(name);
        }
    }
};

// Each iteration runs one timed pass over the whole file (encryption or
// decryption in place) and the inverse pass untimed, so the file is the same
// at every iteration. Real time, since system calls and page-cache work are
// part of the cost.
void bm_in_place(benchmark::State& state, cipher_path path, bool timed_encrypt) {
    force_cipher_path(path);
    big_file file;
    if (!file.make()) {
        state.SkipWithError("cannot make the 256 MiB file");
        return;
    }
    auto pass = [&](bool encrypt) {
        lseek(file.fd, 0, SEEK_SET);
        const int result = encrypt ? encrypt_in_place(file.fd, "benchmark keyword")
                                   : decrypt_in_place(file.fd, "benchmark keyword");
        if (result != 0) state.SkipWithError("in-place pass failed");
    };

    const long rss_before = peak_rss_kib();
    for (auto _ : state) {
        if (!timed_encrypt) {
            state.PauseTiming();
            pass(true);
            state.ResumeTiming();
        }
        pass(timed_encrypt);
        if (timed_encrypt) {
            state.PauseTiming();
            pass(false);
            state.ResumeTiming();
        }
    }
    state.counters["peak_rss_growth_kib"] = static_cast<double>(peak_rss_kib() - rss_before);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(file_bytes));
}

void register_all() {
    for (cipher_path path : all_cipher_paths) {
        if (!cipher_path_supported(path)) continue;
        const std::string suffix = std::string("/") + cipher_path_name(path);
        benchmark::RegisterBenchmark(("encrypt_stream" + suffix).c_str(), bm_encrypt_stream, path);
        benchmark::RegisterBenchmark(("encrypt_stream_uncached" + suffix).c_str(),
                                     bm_encrypt_stream_uncached, path);
        benchmark::RegisterBenchmark(("decrypt_stream" + suffix).c_str(), bm_decrypt_stream, path);
        benchmark::RegisterBenchmark(("keychange_stream" + suffix).c_str(), bm_keychange_stream,
                                     path);
    }
    benchmark::RegisterBenchmark("unixcrypt_stream", bm_unixcrypt_stream);
    for (cipher_path path : all_cipher_paths) {
        if (!cipher_path_supported(path)) continue;
        for (const bool encrypt : {true, false}) {
            const std::string name = std::string(encrypt ? "encrypt" : "decrypt") +
                                     "_in_place_256MiB/" + cipher_path_name(path);
            benchmark::RegisterBenchmark(name.c_str(), bm_in_place, path, encrypt)
                ->Iterations(3)
                ->Unit(benchmark::kMillisecond)
                ->UseRealTime();
        }
    }
}

const int registered = (register_all(), 0);

} // namespace
