// The block cipher for the 256-bit key and block, per path:
// - schedule_key: one expansion per 32 bytes of keyword hashing;
// - encrypt_block: serial, each block depending on the one before, as in CFB
//   encryption, so this is the latency of one block;
// - encrypt_blocks: independent blocks, a driver buffer's worth (10240 bytes)
//   at a time, and 16, the decryption stream's batch, as CFB decryption sees
//   them;
// - cfb_encrypt_blocks: the CFB encryption chain over a driver buffer, as
//   dispatched on each path;
// - decrypt_block: once per file and candidate key.
// Paths the CPU lacks are listed and left out. Besides Google Benchmark's
// aggregates each benchmark reports the minimum over its repetitions, the
// figure least moved by other work on a shared machine; with
// --benchmark_enable_random_interleaving=true the repetitions of all
// benchmarks alternate, so side-by-side figures share the same conditions.
// The table-driven reference
// (tests/cipher/table_rijndael.cpp), which the portable path was before it
// was bitsliced, runs beside them under the name "table".
#include "cipher/cipher_paths.h"
#include "cipher/rijndael.h"
#include "cipher/rijndael_paths.h"
#include "table_rijndael.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::size_t buffer_bytes = 10240;

key_schedule bench_schedule() {
    std::uint8_t key[32];
    for (int i = 0; i < 32; ++i) key[i] = static_cast<std::uint8_t>(i * 29 + 3);
    key_schedule schedule;
    schedule_key(key, 256, 256, &schedule);
    return schedule;
}

void bm_schedule_key(benchmark::State& state) {
    std::uint8_t key[32] = {1, 2, 3};
    key_schedule schedule;
    for (auto _ : state) {
        // Chained, as keyword hashing chains them: the buffer feeds the next.
        schedule_key(key, 256, 256, &schedule);
        benchmark::DoNotOptimize(schedule);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 32);
}

void bm_encrypt_block(benchmark::State& state, cipher_path path) {
    force_cipher_path(path);
    const key_schedule schedule = bench_schedule();
    std::uint8_t block[32] = {};
    for (auto _ : state) {
        encrypt_block(block, &schedule);
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 32);
}

using block_fn = void (*)(std::uint8_t*, const key_schedule*);

void bm_block(benchmark::State& state, block_fn operation) {
    const key_schedule schedule = bench_schedule();
    std::uint8_t block[32] = {};
    for (auto _ : state) {
        operation(block, &schedule);
        benchmark::DoNotOptimize(block);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 32);
}

using blocks_fn = void (*)(const std::uint8_t*, std::uint8_t*, std::size_t, const key_schedule*);

void run_blocks(benchmark::State& state, blocks_fn operation) {
    const key_schedule schedule = bench_schedule();
    const std::size_t count = static_cast<std::size_t>(state.range(0));
    std::vector<std::uint8_t> in(32 * count, 0x5C);
    std::vector<std::uint8_t> out(32 * count);
    for (auto _ : state) {
        operation(in.data(), out.data(), count, &schedule);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(32 * count));
}

void bm_encrypt_blocks(benchmark::State& state, cipher_path path) {
    force_cipher_path(path);
    run_blocks(state, encrypt_blocks);
}

using cfb_fn = void (*)(std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t,
                        const key_schedule*);

void run_cfb(benchmark::State& state, cfb_fn chain) {
    const key_schedule schedule = bench_schedule();
    constexpr std::size_t count = buffer_bytes / 32;
    std::vector<std::uint8_t> in(buffer_bytes, 0x5C);
    std::vector<std::uint8_t> out(buffer_bytes);
    std::uint8_t feedback[32] = {};
    for (auto _ : state) {
        chain(feedback, in.data(), out.data(), count, &schedule);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(buffer_bytes));
}

void bm_cfb_encrypt_blocks(benchmark::State& state, cipher_path path) {
    force_cipher_path(path);
    run_cfb(state, cfb_encrypt_blocks);
}

void bm_cfb_chain(benchmark::State& state, cfb_fn chain) { run_cfb(state, chain); }

// The fastest repetition, as an extra aggregate.
benchmark::internal::Benchmark* with_minimum(benchmark::internal::Benchmark* b) {
    return b->ComputeStatistics(
        "min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    with_minimum(benchmark::RegisterBenchmark("schedule_key/256", bm_schedule_key));
    with_minimum(benchmark::RegisterBenchmark("decrypt_block/portable", bm_block, decrypt_block));
    with_minimum(
        benchmark::RegisterBenchmark("decrypt_block/table", bm_block, table_decrypt_block));
    with_minimum(
        benchmark::RegisterBenchmark("encrypt_block/table", bm_block, table_encrypt_block));
    with_minimum(
        benchmark::RegisterBenchmark("encrypt_blocks/table", run_blocks, table_encrypt_blocks))
        ->Arg(1)
        ->Arg(4)
        ->Arg(16)
        ->Arg(static_cast<std::int64_t>(buffer_bytes / 32));
    with_minimum(benchmark::RegisterBenchmark("cfb_encrypt_blocks/table", bm_cfb_chain,
                                              table_cfb_encrypt_blocks));
    for (cipher_path path : all_cipher_paths) {
        const std::string name = cipher_path_name(path);
        if (!cipher_path_supported(path)) {
            std::fprintf(stderr, "cipher_bench: the %s path is not supported here; left out\n",
                         name.c_str());
            continue;
        }
        with_minimum(benchmark::RegisterBenchmark(("encrypt_block/" + name).c_str(),
                                                  bm_encrypt_block, path));
        with_minimum(benchmark::RegisterBenchmark(("encrypt_blocks/" + name).c_str(),
                                                  bm_encrypt_blocks, path))
            ->Arg(1)
            ->Arg(4)
            ->Arg(16)
            ->Arg(static_cast<std::int64_t>(buffer_bytes / 32));
        with_minimum(benchmark::RegisterBenchmark(("cfb_encrypt_blocks/" + name).c_str(),
                                                  bm_cfb_encrypt_blocks, path));
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
