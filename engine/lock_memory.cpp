#include "engine/lock_memory.h"

#include <sys/mman.h>

#include <cerrno>

void lock_memory(void* block, std::size_t size)
{
    // errno is the caller's report channel: a refused lock must not show.
    const int saved = errno;
    (void)mlock(block, size);
    errno = saved;
}
