// The entry point: the order of a run, from the program name to the status.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cli/cli.h"
#include "cli/config.h"
#include "cli/file_list.h"

namespace {

[[noreturn]] void usage_error(const char* message)
{
    std::fprintf(stderr, message, config.name);
    std::exit(1);
}

bool writes_to_stdout(int mode)
{
    return mode == mode_cat || mode == mode_unixcrypt;
}

// -m only where a non-matching key harms no file: decrypted data goes to
// standard output. Encrypted data never meets a terminal unless forced;
// standard output is looked at first.
void check_combination()
{
    if (config.mismatch && !config.filter && !writes_to_stdout(config.mode))
        usage_error("%s: option -m can only be used with -c or when running as a filter.\n");
    if (!config.filter || config.force)
        return;
    bool writes_encrypted = config.mode == mode_encrypt || config.mode == mode_keychange;
    bool reads_encrypted = config.mode != mode_encrypt;
    if (writes_encrypted && isatty(STDOUT_FILENO))
        usage_error("%s: encrypted data not written to a terminal. Use -f to force encryption.\n"
                    "Try --help for more information.\n");
    if (reads_encrypted && isatty(STDIN_FILENO))
        usage_error("%s: encrypted data not read from a terminal. Use -f to force decryption.\n"
                    "Try --help for more information.\n");
}

int warn_empty_list()
{
    if (config.verbosity >= 0)
        std::fprintf(stderr, "%s: warning: empty list of filenames given\n", config.name);
    release_keywords();
    return 0;
}

// The file-list run's two bits: 1 some input rejected, 2 some file failed.
int file_list_status(int outcome)
{
    if (outcome & 2)
        return 8;
    return outcome & 1 ? 4 : 0;
}

} // namespace

int ostrel_main(int argc, char** argv)
{
    harden_process();
    // Every exit() from here on, whatever its status, wipes the keywords.
    std::atexit(release_keywords);
    take_program_name(argc, argv);
    set_defaults();
    scan_options(argc, argv);
    if (writes_to_stdout(config.mode))
        config.symlinks = 1;
    if (config.debug >= 1)
        print_debug_dump();
    check_combination();
    if (!config.filter && config.infile_count == 0)
        return warn_empty_list();

    // From here on only the keywords and the prompts of `config` change.
    acquire_keywords();
    // Standard input and output would become binary here; POSIX streams are.
    check_reference_file();

    int status = config.filter
                     ? run_filter()
                     : file_list_status(run_file_list(config.infiles, config.infile_count));
    release_keywords();
    return status;
}
