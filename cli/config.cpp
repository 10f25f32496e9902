#include "cli/config.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

run_config config;

void fatal(const char* prefix)
{
    std::fprintf(stderr, "%s: %s\n", prefix, std::strerror(errno));
    std::exit(2);
}

void* checked_alloc(std::size_t size, const char* prefix)
{
    void* block = std::malloc(size);
    if (!block)
        fatal(prefix);
    return block;
}

void* checked_realloc(void* block, std::size_t size, const char* prefix)
{
    void* resized = std::realloc(block, size);
    if (!resized)
        fatal(prefix);
    return resized;
}
