// One path that is not a directory to traverse: locate it, check its kind,
// form the output name, ask before overwriting, then hand it to one way of
// writing.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_steps.h"

namespace {

// The output entry's name: null with `*result` done when encrypting a file
// that already carries the suffix under strictsuffix (reported here), or
// fatal when memory ran out. Heap text; the output stays in the input's
// directory.
char* output_name_for(const run_options& options, const file_place& place, outcome* result) {
    const char* suffix = options.suffix;
    const bool suffixed = suffix[0] != '\0' && has_suffix(place.name, suffix);
    char* name = nullptr;
    switch (options.row().output) {
    case output_rule::add_suffix:
        if (options.strictsuffix && suffixed) {
            owned_text shown_suffix(shown_text(suffix));
            if (!shown_suffix.text) {
                *result = out_of_memory(options);
                return nullptr;
            }
            if (!options.quiet())
                std::fprintf(stderr, "%s: %s already has %s suffix -- ignored\n", options.name,
                             place.shown, shown_suffix.text);
            *result = outcome::done;
            return nullptr;
        }
        // A file that already has the suffix gets it twice.
        name = join_text(place.name, suffix);
        break;
    case output_rule::strip_suffix:
        name = join_text(place.name, "");
        if (name && suffixed) name[std::strlen(name) - std::strlen(suffix)] = '\0';
        break;
    default: name = join_text(place.name, ""); break;
    }
    if (!name) *result = out_of_memory(options);
    return name;
}

// The whole path of a name in the directory of `place`, as shown; null when
// memory ran out.
char* shown_sibling(const file_place& place, const char* name) {
    owned_text place_name(shown_text(place.name));
    owned_text name_shown(shown_text(name));
    if (!place_name.text || !name_shown.text) return nullptr;
    const std::size_t directory_length = std::strlen(place.shown) - std::strlen(place_name.text);
    char* text =
        static_cast<char*>(std::malloc(directory_length + std::strlen(name_shown.text) + 1));
    if (!text) return nullptr;
    std::memcpy(text, place.shown, directory_length);
    std::strcpy(text + directory_length, name_shown.text);
    return text;
}

// 1 when the output may be written: there is no entry of that name, the
// name is the input's own, force is set, or the user said yes; -1 when
// memory ran out. Sets `*replace` when an entry of that name may be
// replaced; a name that was free must still be free when the result takes it.
int may_overwrite(const run_options& options, const file_place& input, const file_place& output,
                  bool* replace) {
    *replace = true;
    if (options.force || std::strcmp(output.name, input.name) == 0) return 1;
    struct stat st;
    // Anything of that name counts, a dangling symbolic link too.
    if (fstatat(output.dir_fd, output.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        *replace = false;
        return 1;
    }
    return ask_about(options, "%s: %s already exists; overwrite (y or n)? ", output.shown,
                     input.shown, "Not overwritten.\n");
}

// Decrypting "report.txt" finds "report.txt.osl" when only that exists:
// fills `st`, the fallback's name and its shown path. 1 found, 0 none, -1
// memory ran out.
int find_suffixed(const run_options& options, const file_place& operand, file_job& job,
                  owned_text& name, owned_text& shown) {
    if (!options.row().reads_encrypted || options.suffix[0] == '\0') return 0;
    name.text = join_text(operand.name, options.suffix);
    if (!name.text) return -1;
    if (stat_entry(operand.dir_fd, name.text, AT_SYMLINK_NOFOLLOW, &job.decided, &job.identity,
                   &job.born) != 0)
        return 0;
    owned_text shown_suffix(shown_text(options.suffix));
    shown.text = shown_suffix.text ? join_text(operand.shown, shown_suffix.text) : nullptr;
    return shown.text ? 1 : -1;
}

} // namespace

outcome process_file_at(run_context& run, const file_place& operand) {
    const run_options& options = run.options;
    file_job job{};
    job.input = operand;
    job.follow = options.symlinks != 0;
    owned_text fallback_name, fallback_shown;
    struct stat& st = job.decided;
    if (stat_entry(operand.dir_fd, operand.name, AT_SYMLINK_NOFOLLOW, &st, &job.identity,
                   &job.born) != 0) {
        const int kept = errno;
        const int found = kept == ENOENT
                              ? find_suffixed(options, operand, job, fallback_name, fallback_shown)
                              : 0;
        if (found <= 0)
            return found < 0 ? out_of_memory(options) : report_failure(run, operand.shown, kept);
        job.input = file_place{operand.dir_fd, fallback_name.text, fallback_shown.text,
                               operand.path_length + std::strlen(options.suffix)};
    }
    const file_place& input = job.input;

    if (S_ISLNK(st.st_mode)) {
        if (!job.follow) {
            if (!options.quiet())
                std::fprintf(stderr, "%s: %s: is a symbolic link -- ignored\n", options.name,
                             input.shown);
            return outcome::done;
        }
        if (stat_entry(input.dir_fd, input.name, 0, &st, &job.identity, &job.born) != 0)
            return report_failure(run, input.shown, errno);
    }
    if (!S_ISREG(st.st_mode)) {
        if (!options.quiet())
            std::fprintf(stderr, "%s: %s: is not a regular file -- ignored\n", options.name,
                         input.shown);
        return outcome::done;
    }
    at_step(file_step::decided, input.shown);
    if (options.row().output == output_rule::standard_output) return write_to_stdout(run, job);

    outcome result = outcome::done;
    owned_text output_name(output_name_for(options, input, &result));
    if (!output_name.text) return result;
    owned_text output_shown(shown_sibling(input, output_name.text));
    if (!output_shown.text) return out_of_memory(options);
    job.output =
        file_place{input.dir_fd, output_name.text, output_shown.text,
                   input.path_length - std::strlen(input.name) + std::strlen(output_name.text)};
    const int may = may_overwrite(options, input, job.output, &job.replace_output);
    if (may <= 0) return may < 0 ? out_of_memory(options) : outcome::done;
    return options.tmpfiles ? write_through_temp_file(run, job) : write_in_place(run, job);
}

outcome process_file(run_context& run, const char* operand) {
    return with_operand(run, operand, process_file_at);
}
