// One path that is not a directory to traverse: locate it, check its kind,
// form the output name, ask before overwriting, then hand it to one way of
// writing.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/config.h"
#include "files/file_steps.h"
#include "files/files.h"

namespace {

bool quiet()
{
    return config.verbosity < 0;
}

// The output entry's name, or null when encrypting a file that already
// carries the suffix under strictsuffix (reported here). Heap text; the
// output stays in the input's directory.
char* output_name_for(const file_place& place)
{
    const char* suffix = config.suffix;
    bool suffixed = suffix[0] != '\0' && has_suffix(place.name, suffix);
    switch (config.mode) {
    case mode_encrypt:
        if (config.strictsuffix && suffixed) {
            if (!quiet()) {
                owned_text shown_suffix(shown_text(suffix));
                std::fprintf(stderr, "%s: %s already has %s suffix -- ignored\n", config.name,
                             place.shown, shown_suffix.text);
            }
            return nullptr;
        }
        // A file that already has the suffix gets it twice.
        return join_text(place.name, suffix);
    case mode_decrypt:
        if (suffixed) {
            char* name = join_text(place.name, "");
            name[std::strlen(name) - std::strlen(suffix)] = '\0';
            return name;
        }
        return join_text(place.name, "");
    default: // keychange keeps the name
        return join_text(place.name, "");
    }
}

// The whole path of a name in the directory of `place`, as shown.
char* shown_sibling(const file_place& place, const char* name)
{
    const std::size_t directory_length =
        std::strlen(place.shown) - std::strlen(owned_text(shown_text(place.name)).text);
    owned_text name_shown(shown_text(name));
    char* text = static_cast<char*>(
        checked_alloc(directory_length + std::strlen(name_shown.text) + 1, config.name));
    std::memcpy(text, place.shown, directory_length);
    std::strcpy(text + directory_length, name_shown.text);
    return text;
}

// 1 when the output may be written: there is no entry of that name, the
// name is the input's own, force is set, or the user said yes. Sets
// `*replace` when an entry of that name may be replaced; a name that was
// free must still be free when the result takes it.
int may_overwrite(const file_place& input, const file_place& output, bool* replace)
{
    *replace = true;
    if (config.force || std::strcmp(output.name, input.name) == 0)
        return 1;
    struct stat st;
    // Anything of that name counts, a dangling symbolic link too.
    if (fstatat(output.dir_fd, output.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *replace = false;
        return 1;
    }
    std::fprintf(stderr, "%s: %s already exists; overwrite (y or n)? ", config.name, output.shown);
    std::fflush(stderr);
    at_step(file_step::question, input.shown);
    if (ask_yes_no())
        return 1;
    std::fputs("Not overwritten.\n", stderr);
    return 0;
}

} // namespace

void process_file_at(const file_place& operand)
{
    file_job job{};
    job.input = operand;
    job.follow = config.symlinks != 0;
    owned_text fallback_name, fallback_shown;
    struct stat& st = job.decided;
    if (fstatat(operand.dir_fd, operand.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        int kept = errno;
        // Decrypting "report.txt" finds "report.txt.osl" when only that exists.
        if (kept == ENOENT && config.mode != mode_encrypt && config.suffix[0] != '\0') {
            fallback_name.text = join_text(operand.name, config.suffix);
            if (fstatat(operand.dir_fd, fallback_name.text, &st, AT_SYMLINK_NOFOLLOW) == 0) {
                owned_text shown_suffix(shown_text(config.suffix));
                fallback_shown.text = join_text(operand.shown, shown_suffix.text);
                job.input = file_place{operand.dir_fd, fallback_name.text, fallback_shown.text,
                                       operand.path_length + std::strlen(config.suffix)};
            }
        }
        if (!fallback_shown.text) {
            report_failure(operand.shown, kept);
            return;
        }
    }
    const file_place& input = job.input;

    if (S_ISLNK(st.st_mode)) {
        if (!job.follow) {
            if (!quiet())
                std::fprintf(stderr, "%s: %s: is a symbolic link -- ignored\n", config.name,
                             input.shown);
            return;
        }
        if (fstatat(input.dir_fd, input.name, &st, 0) != 0) {
            report_failure(input.shown, errno);
            return;
        }
    }
    if (!S_ISREG(st.st_mode)) {
        if (!quiet())
            std::fprintf(stderr, "%s: %s: is not a regular file -- ignored\n", config.name,
                         input.shown);
        return;
    }
    at_step(file_step::decided, input.shown);
    if (config.mode == mode_cat || config.mode == mode_unixcrypt) {
        write_to_stdout(job);
        return;
    }

    owned_text output_name(output_name_for(input));
    if (!output_name.text)
        return;
    owned_text output_shown(shown_sibling(input, output_name.text));
    job.output =
        file_place{input.dir_fd, output_name.text, output_shown.text,
                   input.path_length - std::strlen(input.name) + std::strlen(output_name.text)};
    if (!may_overwrite(input, job.output, &job.replace_output))
        return;
    if (config.tmpfiles)
        write_through_temp_file(job);
    else
        write_in_place(job);
}

void process_file(const char* operand)
{
    with_operand(operand, process_file_at);
}
