#include <cstdlib>
#include <cstring>

#include "cli/config.h"

char* read_line(std::FILE* in, const char* prefix) {
    std::size_t capacity = 32;
    char* buffer = static_cast<char*>(checked_alloc(capacity, prefix));
    if (!std::fgets(buffer, int(capacity), in)) {
        std::free(buffer);
        return nullptr;
    }
    // Where the part read last begins; the newline can only be there.
    std::size_t searched = 0;
    char* newline;
    while (!(newline = std::strchr(buffer + searched, '\n'))) {
        // Go on at the terminating zero of what is there: capacity - 1 after
        // a full read, earlier when a terminal delivered a partial line.
        searched = std::strlen(buffer);
        capacity *= 2;
        buffer = static_cast<char*>(checked_realloc(buffer, capacity, prefix));
        if (!std::fgets(buffer + searched, int(capacity - searched), in)) return buffer;
    }
    *newline = '\0';
    if (newline != buffer && newline[-1] == '\r') newline[-1] = '\0';
    return buffer;
}
