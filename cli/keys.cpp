// Key acquisition: the key file, then prompts for whatever is still missing,
// and the check of the encryption key against a reference file.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/base.h"
#include "cli/cli.h"

namespace {

constexpr char default_prompt2[] = "Enter new key: ";
constexpr char repeat_suffix[] = "(repeat) ";

void replace_keyword(char** field, char* keyword) {
    free_keyword(*field);
    *field = keyword;
}

// The next line of the key file into `*field`. A zero byte ends the keyword
// early (files written under it still open), with a warning. keep_going, or
// the status to end with.
int read_key_line(const run_options& options, std::FILE* keys, char** field) {
    bool zero_inside = false;
    errno = 0;
    replace_keyword(field, read_keyword_line(keys, &zero_inside));
    if (!*field) {
        if (errno == ENOMEM) {
            out_of_memory(options);
            return status_fatal;
        }
        std::fprintf(stderr, "%s: error reading keyfile\n", options.name);
        return status_no_key;
    }
    if (zero_inside && options.verbosity >= 0)
        std::fprintf(
            stderr,
            "%s: warning: keyword in %s contains a zero byte; only the bytes before it are used\n",
            options.name, options.keyfile);
    return keep_going;
}

// A key file named "-" is standard input, which stays open: in a filter run
// what follows the key lines is the data. A named file is read through a
// buffer of our own, wiped once the file is closed (stdio would free its own
// as it is).
int read_key_file(run_context& run) {
    const run_options& options = run.options;
    const bool from_stdin = std::strcmp(options.keyfile, "-") == 0;
    std::FILE* keys = from_stdin ? stdin : std::fopen(options.keyfile, "r");
    if (!keys) {
        std::fprintf(stderr, "%s: could not read key from %s: %s\n", options.name, options.keyfile,
                     std::strerror(errno));
        return status_no_key;
    }
    char buffered[BUFSIZ];
    if (!from_stdin) std::setvbuf(keys, buffered, _IOFBF, sizeof buffered);
    int status = read_key_line(options, keys, &run.keyword);
    if (status == keep_going && options.row().needs_keyword2)
        status = read_key_line(options, keys, &run.keyword2);
    if (!from_stdin) {
        std::fclose(keys);
        wipe(buffered, sizeof buffered);
    }
    return status;
}

// Asks with `prompt` into `*field`; with `twice`, asks again and insists on
// the same answer. The confirmation copy is wiped and freed on every way
// out. keep_going, or the status to end with.
int ask_keyword(const run_options& options, char** field, const char* prompt, bool twice) {
    bool failed = false;
    replace_keyword(field, prompt_keyword(prompt, "", options.name, &failed));
    if (failed) return status_fatal;
    if (!*field) {
        std::fprintf(stderr, "%s: no key given\n", options.name);
        return status_no_key;
    }
    if (!twice) return keep_going;
    char* again = prompt_keyword(prompt, repeat_suffix, options.name, &failed);
    const bool same = again && std::strcmp(again, *field) == 0;
    free_keyword(again);
    if (failed) return status_fatal;
    if (same) return keep_going;
    std::fputs("Sorry, the keys you entered did not match.\n", stderr);
    return status_keys_differ;
}

// The keyword that will encrypt, or null when the mode does not encrypt.
const char* encrypting_keyword(const run_context& run) {
    switch (run.options.row().encrypting_keyword) {
    case 1: return run.keyword;
    case 2: return run.keyword2;
    default: return nullptr;
    }
}

} // namespace

int acquire_keywords(run_context& run) {
    const run_options& options = run.options;
    const mode_record& mode = options.row();
    int status = options.keyfile ? read_key_file(run) : keep_going;
    if (status == keep_going && !run.keyword)
        status = ask_keyword(options, &run.keyword, options.prompt ? options.prompt : mode.prompt,
                             options.timid && mode.encrypting_keyword == 1);
    if (status == keep_going && mode.needs_keyword2 && !run.keyword2)
        status = ask_keyword(options, &run.keyword2,
                             options.prompt2 ? options.prompt2 : default_prompt2, options.timid);
    if (status != keep_going) return status;
    // A keyword that will encrypt, if empty, is most likely a slip.
    const char* encrypting = encrypting_keyword(run);
    if (encrypting && encrypting[0] == '\0' && options.verbosity >= 0)
        std::fprintf(stderr, "%s: warning: empty keyword\n", options.name);
    return keep_going;
}

int check_reference_file(const run_context& run) {
    const run_options& options = run.options;
    const char* keyword = encrypting_keyword(run);
    // Elsewhere -y only made the prompt ask once.
    if (!options.keyref || !keyword) return keep_going;
    std::FILE* reference = std::fopen(options.keyref, "rb");
    if (!reference) {
        std::fprintf(stderr, "%s: could not open %s: %s\n", options.name, options.keyref,
                     std::strerror(errno));
        return status_reference;
    }
    const stream_result r = check_key_reference(reference, keyword);
    std::fclose(reference);
    if (r.ok()) return keep_going;
    // A reference too short to hold a header counts as another key's.
    if (r.rejected()) {
        std::fputs("The encryption key does not match the reference file.\n", stderr);
        return status_reference;
    }
    std::fprintf(stderr, "%s: %s: %s\n", options.name, options.keyref, result_message(r));
    return r.code == result_io ? status_reference : status_fatal;
}

void prepare_schedules(run_context& run) {
    release_prepared_keys(run.prepared);
    run.prepared = prepare_keys(run.keyword, run.keyword2);
}

void release_keywords(run_context& run) {
    release_prepared_keys(run.prepared);
    run.prepared = nullptr;
    free_keyword(run.keyword);
    free_keyword(run.keyword2);
    run.keyword = nullptr;
    run.keyword2 = nullptr;
}
