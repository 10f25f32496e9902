#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/base.h"
#include "files/files.h"

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

// Lines may be keywords, so no copy of one is released unwiped: a buffer
// grows by allocating the larger one, copying, wiping and freeing the old
// one (realloc would leave the old block behind as it was). A keyword's
// blocks are also locked in memory where the limit allows (kept out of swap;
// best effort).
// Null with errno ENOMEM, `old` released, when memory runs out.
char* allocate(std::size_t size, char* old, std::size_t old_size, bool lock) {
    char* block = static_cast<char*>(std::malloc(size));
    if (!block) {
        wipe_and_free(old, old_size);
        errno = ENOMEM;
        return nullptr;
    }
    if (lock) lock_memory(block, size);
    return block;
}

char* read_any_line(std::FILE* in, bool* zero_inside, bool keyword) {
    std::size_t capacity = 32;
    char* buffer = allocate(capacity, nullptr, 0, keyword);
    if (!buffer) return nullptr;
    char* end = read_part(buffer, capacity, in);
    if (!end) {
        wipe_and_free(buffer, capacity);
        return nullptr;
    }
    std::size_t length;
    for (;;) {
        if (end != buffer && end[-1] == '\n') {
            length = std::size_t(end - 1 - buffer);
            if (length > 0 && buffer[length - 1] == '\r') --length;
            break;
        }
        // Go on at the terminating zero of what is there: capacity - 1 after
        // a full read, earlier when a terminal delivered a partial line.
        const std::size_t used = std::size_t(end - buffer);
        char* larger = allocate(2 * capacity, buffer, capacity, keyword);
        if (!larger) return nullptr;
        std::memcpy(larger, buffer, used);
        wipe_and_free(buffer, capacity);
        buffer = larger;
        capacity *= 2;
        end = read_part(buffer + used, capacity - used, in);
        if (!end) {
            // End of input: the line so far is the last line, unterminated.
            length = used;
            break;
        }
    }
    // The text ends at the line's first zero byte. It goes out in a block of
    // exactly its size, so that wiping up to the terminator wipes it all.
    const char* zero = static_cast<const char*>(std::memchr(buffer, 0, length));
    const std::size_t text = zero ? std::size_t(zero - buffer) : length;
    if (zero_inside) *zero_inside = zero != nullptr;
    char* line = allocate(text + 1, buffer, capacity, keyword);
    if (!line) return nullptr;
    std::memcpy(line, buffer, text);
    line[text] = '\0';
    wipe_and_free(buffer, capacity);
    return line;
}

} // namespace

char* read_line(std::FILE* in) { return read_any_line(in, nullptr, false); }

char* read_keyword_line(std::FILE* in, bool* zero_inside) {
    return read_any_line(in, zero_inside, true);
}
