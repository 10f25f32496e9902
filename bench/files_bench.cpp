// The visited list as in-place writing uses it: every file of a run is looked
// up, then appended. The list is hashed, so the cost per file should stay
// flat from a thousand files to a million; the files counter and the time
// per run give the cost per file at each size.
#include <benchmark/benchmark.h>

#include "files/files.h"

namespace {

void visited_list_run(benchmark::State& state) {
    const auto files = std::uint64_t(state.range(0));
    visited_set set;
    for (auto _ : state) {
        forget_visited(set);
        for (std::uint64_t inode = 1; inode <= files; ++inode) {
            benchmark::DoNotOptimize(find_visited(set, file_identity{2049, inode, 0}));
            remember_inode(set, file_identity{2049, inode, 0}, 1);
        }
    }
    forget_visited(set);
    state.counters["files"] = double(files);
    state.counters["per_file"] = benchmark::Counter(
        double(files), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(visited_list_run)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

} // namespace
