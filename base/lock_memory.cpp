#include "base/base.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace {

// The page ranges locked lately. Key material comes back to the same
// places file after file (the same stack frames, the allocator's reused
// blocks), so most requests are already covered and cost no system call.
// A range the process has since given back to the system and mapped anew
// would be taken as locked: locking is best effort all along. Each thread
// keeps its own, since files may be transformed side by side.
struct locked_range {
    std::uintptr_t first, end;
};
constexpr int remembered = 16;
thread_local locked_range ranges[remembered];
thread_local int next_slot = 0;

} // namespace

void lock_memory(void* block, std::size_t size) {
    static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t first = at & ~(page - 1);
    const std::uintptr_t end = (at + size + page - 1) & ~(page - 1);
    for (const locked_range& r : ranges)
        if (r.first <= first && end <= r.end) return;
    // errno is the caller's report channel: a refused lock must not show.
    const int saved = errno;
    if (mlock(reinterpret_cast<void*>(first), end - first) == 0) {
        ranges[next_slot] = {first, end};
        next_slot = (next_slot + 1) % remembered;
    }
    errno = saved;
}
