#include <cstdlib>
#include <cstring>

#include "cli/config.h"

namespace {

// Reads with fgets into `part` (room bytes) and returns the zero byte that
// fgets wrote after what it read, or null at end of input. A line may hold
// zero bytes of its own, so the end is not found with strlen: the part is
// filled with non-zero bytes first, and fgets writes nothing behind its
// terminator, so that terminator is the last zero byte of the part.
char* read_part(char* part, std::size_t room, std::FILE* in) {
    std::memset(part, 1, room);
    if (!std::fgets(part, int(room), in)) return nullptr;
    return static_cast<char*>(memrchr(part, 0, room));
}

} // namespace

char* read_line(std::FILE* in, const char* prefix) {
    std::size_t capacity = 32;
    char* buffer = static_cast<char*>(checked_alloc(capacity, prefix));
    char* end = read_part(buffer, capacity, in);
    if (!end) {
        std::free(buffer);
        return nullptr;
    }
    while (end == buffer || end[-1] != '\n') {
        // Go on at the terminating zero of what is there: capacity - 1 after
        // a full read, earlier when a terminal delivered a partial line.
        std::size_t used = std::size_t(end - buffer);
        capacity *= 2;
        buffer = static_cast<char*>(checked_realloc(buffer, capacity, prefix));
        end = read_part(buffer + used, capacity - used, in);
        if (!end) {
            // End of input: the line so far is the last line, unterminated.
            buffer[used] = '\0';
            return buffer;
        }
    }
    char* newline = end - 1;
    *newline = '\0';
    if (newline != buffer && newline[-1] == '\r') newline[-1] = '\0';
    return buffer;
}
