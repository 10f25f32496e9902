// One path that is not a directory to traverse: locate it, check its kind,
// form the output name, ask before overwriting, then hand it to one way of
// writing.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/config.h"
#include "files/file_steps.h"
#include "files/files.h"

namespace {

bool quiet() { return config.verbosity < 0; }

// The output name, or null when encrypting a file that already carries the
// suffix under strictsuffix (reported here). Heap text.
char* output_name_for(const char* path) {
    const char* suffix = config.suffix;
    bool suffixed = suffix[0] != '\0' && has_suffix(path, suffix);
    switch (config.mode) {
    case mode_encrypt:
        if (config.strictsuffix && suffixed) {
            if (!quiet())
                std::fprintf(stderr, "%s: %s already has %s suffix -- ignored\n", config.name, path,
                             suffix);
            return nullptr;
        }
        // A file that already has the suffix gets it twice.
        return join_text(path, suffix);
    case mode_decrypt:
        if (suffixed) {
            char* name = join_text(path, "");
            name[std::strlen(name) - std::strlen(suffix)] = '\0';
            return name;
        }
        return join_text(path, "");
    default: // keychange keeps the name
        return join_text(path, "");
    }
}

// 1 when the output may be written: there is no file of that name, the name
// is the input's own, force is set, or the user said yes.
int may_overwrite(const char* path, const char* output_name) {
    if (config.force || std::strcmp(output_name, path) == 0) return 1;
    struct stat st;
    // Anything of that name counts, a dangling symbolic link too.
    if (lstat(output_name, &st) != 0) return 1;
    std::fprintf(stderr, "%s: %s already exists; overwrite (y or n)? ", config.name, output_name);
    std::fflush(stderr);
    if (ask_yes_no()) return 1;
    std::fputs("Not overwritten.\n", stderr);
    return 0;
}

} // namespace

void process_file(const char* operand) {
    const char* path = operand;
    owned_text fallback;
    struct stat st;
    if (lstat(path, &st) != 0) {
        int kept = errno;
        // Decrypting "report.txt" finds "report.txt.osl" when only that exists.
        if (kept == ENOENT && config.mode != mode_encrypt && config.suffix[0] != '\0') {
            fallback.text = join_text(operand, config.suffix);
            if (lstat(fallback.text, &st) == 0) path = fallback.text;
        }
        if (path == operand) {
            report_failure(operand, kept);
            return;
        }
    }

    if (S_ISLNK(st.st_mode)) {
        if (!config.symlinks) {
            if (!quiet())
                std::fprintf(stderr, "%s: %s: is a symbolic link -- ignored\n", config.name, path);
            return;
        }
        if (stat(path, &st) != 0) {
            report_failure(path, errno);
            return;
        }
    }
    if (!S_ISREG(st.st_mode)) {
        if (!quiet())
            std::fprintf(stderr, "%s: %s: is not a regular file -- ignored\n", config.name, path);
        return;
    }
    if (config.mode == mode_cat || config.mode == mode_unixcrypt) {
        write_to_stdout(path);
        return;
    }

    owned_text output_name(output_name_for(path));
    if (!output_name.text) return;
    if (!may_overwrite(path, output_name.text)) return;
    if (config.tmpfiles)
        write_through_temp_file(path, output_name.text);
    else
        write_in_place(path, output_name.text);
}
