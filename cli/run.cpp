// The entry point: the order of a run, from the program name to the status.
#include <unistd.h>

#include <cstdio>

#include "cli/cli.h"
#include "testing.h"

void (*run_step_hook)(run_step step, const run_context& run) = nullptr;

namespace {

int usage_error(const run_options& options, const char* message) {
    std::fprintf(stderr, message, options.name);
    return status_usage;
}

// -m only where a non-matching key harms no file: decrypted data goes to
// standard output. Encrypted data never meets a terminal unless forced;
// standard output is looked at first.
int check_combination(const run_options& options) {
    const mode_record& mode = options.row();
    const bool to_stdout = mode.output == output_rule::standard_output;
    if (options.mismatch && !options.filter && !to_stdout)
        return usage_error(options,
                           "%s: option -m can only be used with -c or when running as a filter.\n");
    if (!options.filter || options.force) return keep_going;
    if (mode.writes_encrypted && isatty(STDOUT_FILENO))
        return usage_error(options, "%s: encrypted data not written to a terminal. Use -f to force "
                                    "encryption.\nTry --help for more information.\n");
    if (mode.reads_encrypted && isatty(STDIN_FILENO))
        return usage_error(options, "%s: encrypted data not read from a terminal. Use -f to force "
                                    "decryption.\nTry --help for more information.\n");
    return keep_going;
}

// The keywords are wiped on every way out of the run.
struct keyword_owner {
    run_context& run;
    ~keyword_owner() { release_keywords(run); }
};

int run_all(run_context& run, int argc, char** argv) {
    run_options& options = run.options;
    int status = take_program_name(options, argc, argv);
    if (status == keep_going) status = scan_options(run, argc, argv);
    if (status != keep_going) return status;
    if (run_step_hook) run_step_hook(run_step::options_read, run);
    if (options.row().output == output_rule::standard_output) options.symlinks = 1;
    if (options.debug >= 1) print_debug_dump(run);
    status = check_combination(options);
    if (status != keep_going) return status;
    if (!options.filter && options.infile_count == 0) {
        if (options.verbosity >= 0)
            std::fprintf(stderr, "%s: warning: empty list of filenames given\n", options.name);
        return status_ok;
    }

    // From here on only the keywords change.
    status = acquire_keywords(run);
    // Standard input and output would become binary here; POSIX streams are.
    if (status == keep_going) status = check_reference_file(run);
    if (status != keep_going) return status;
    // Once, not once per file.
    if (options.row().stream != &unixcrypt_kind) prepare_schedules(run);
    if (run_step_hook) run_step_hook(run_step::started, run);
    const file_size_signal_ignored size_limit_reported;
    outcome result;
    {
        const progress_scope progress(run);
        result = options.filter ? run_filter(run) : run_file_list(run);
    }
    return status_of(run, result);
}

} // namespace

int status_of(const run_context& run, outcome o) {
    switch (o) {
    case outcome::interrupted: return status_interrupted;
    case outcome::fatal: return status_fatal;
    case outcome::fatal_io: return status_io;
    default:
        return run.errors != 0 ? status_failed : run.rejects != 0 ? status_rejected : status_ok;
    }
}

int ostrel_main(int argc, char** argv) {
    harden_process();
    run_context run;
    const keyword_owner keywords{run};
    return run_all(run, argc, argv);
}
