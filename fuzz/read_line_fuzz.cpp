// read_line over arbitrary text delivered in arbitrary read sizes.
//
// Input: byte 0 chooses the largest read the stream hands to stdio (1..255,
// 0: everything at once), byte 1 the stdio buffer size; the rest is the text.
// Properties:
//   - the lines returned are exactly the lines of a simple model: split at
//     newlines, one carriage return before a newline dropped, a last line
//     without newline kept whole, nothing at the end. A NUL byte inside a
//     line ends the text returned for it (a keyword is a C text) but not the
//     line: the next call starts after the newline all the same;
//   - the buffer grows by doubling only as far as the longest line needs
//     (and the text it returns is a block of its own size, no larger).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/files.h"
#include "fuzz_check.h"

namespace {

struct chunked_source {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos;
    std::size_t chunk;
};

ssize_t chunked_read(void* cookie, char* buf, std::size_t n) {
    auto* src = static_cast<chunked_source*>(cookie);
    std::size_t take = src->size - src->pos;
    if (take > n) take = n;
    if (src->chunk && take > src->chunk) take = src->chunk;
    std::memcpy(buf, src->data + src->pos, take);
    src->pos += take;
    return ssize_t(take);
}

// The largest block read_line asked for; its allocations (it grows a line
// by allocating the larger block, copying and wiping the old one) are routed
// here by the linker, and counted only while read_line runs.
std::size_t largest_request = 0;
bool watching = false;

std::vector<std::string> model_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = nl + 1;
    }
    for (auto& line : lines) line = line.c_str(); // the returned text ends at a NUL
    return lines;
}

// The most room a line may need: the doubling from 32 stops at the first
// capacity that holds the line with its newline and the NUL. A last line
// without newline takes one doubling more, to find that nothing follows.
std::size_t room_needed(const std::string& text) {
    auto capacity_for = [](std::size_t bytes) {
        std::size_t capacity = 32;
        while (capacity < bytes + 1) capacity *= 2;
        return capacity;
    };
    std::size_t room = 32, start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            room = std::max(room, 2 * capacity_for(text.size() - start));
            break;
        }
        room = std::max(room, capacity_for(nl + 1 - start));
        start = nl + 1;
    }
    return room;
}

} // namespace

extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
    if (watching) largest_request = std::max(largest_request, size);
    return __real_malloc(size);
}

static char* watched_read_line(std::FILE* in) {
    watching = true;
    char* line = read_line(in);
    watching = false;
    return line;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    chunked_source src{data + 2, size - 2, 0, data[0]};
    static const int buffer_sizes[] = {1, 2, 7, 31, 32, 33, 64, 4096};
    cookie_io_functions_t io{chunked_read, nullptr, nullptr, nullptr};
    std::FILE* in = fopencookie(&src, "r", io);
    FUZZ_CHECK(in != nullptr);
    std::setvbuf(in, nullptr, _IOFBF, std::size_t(buffer_sizes[data[1] % 8]));

    std::vector<std::string> got;
    largest_request = 0;
    while (char* line = watched_read_line(in)) {
        got.emplace_back(line);
        std::free(line);
        FUZZ_CHECK(got.size() <= src.size + 1);
    }
    // Once at the end, it stays there.
    FUZZ_CHECK(watched_read_line(in) == nullptr);
    std::fclose(in);

    std::string text(reinterpret_cast<const char*>(src.data), src.size);
    FUZZ_CHECK(largest_request <= room_needed(text));
    std::size_t total = 0;
    for (const auto& line : got) {
        FUZZ_CHECK(line.find('\n') == std::string::npos);
        total += line.size();
    }
    FUZZ_CHECK(total <= text.size());
    FUZZ_CHECK(got == model_lines(text));
    return 0;
}
