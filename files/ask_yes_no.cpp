#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "files/files.h"

int ask_yes_no()
{
    std::FILE* terminal = std::fopen("/dev/tty", "r");
    std::FILE* in = terminal ? terminal : stdin;
    char* line = read_line(in, config.name);
    // Only the exact lower-case words count: no trimming, no case folding.
    int yes = line && (std::strcmp(line, "y") == 0 || std::strcmp(line, "yes") == 0);
    std::free(line);
    if (terminal)
        std::fclose(terminal);
    return yes;
}
