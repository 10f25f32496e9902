#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "files/files.h"

int ask_yes_no() {
    std::FILE* terminal = std::fopen("/dev/tty", "r");
    std::FILE* in = terminal ? terminal : stdin;
    errno = 0;
    char* line = read_line(in);
    const bool no_memory = !line && errno == ENOMEM;
    // Only the exact lower-case words count: no trimming, no case folding.
    const int yes = line && (std::strcmp(line, "y") == 0 || std::strcmp(line, "yes") == 0);
    std::free(line);
    if (terminal) std::fclose(terminal);
    return no_memory ? -1 : yes;
}
