// The visited list as in-place writing uses it: every file of a run is looked
// up, then appended. The search is linear, so a run over n files costs
// n*n/2 comparisons; this shows what that means at the sizes of real runs.
#include <benchmark/benchmark.h>

#include "files/files.h"

namespace {

void visited_list_run(benchmark::State& state)
{
    const auto files = std::uint64_t(state.range(0));
    for (auto _ : state) {
        forget_visited();
        for (std::uint64_t inode = 1; inode <= files; ++inode) {
            benchmark::DoNotOptimize(find_visited(2049, inode));
            remember_inode(inode, 2049, 1);
        }
    }
    forget_visited();
    state.counters["files"] = double(files);
}
BENCHMARK(visited_list_run)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(30000)
    ->Unit(benchmark::kMillisecond);

} // namespace
