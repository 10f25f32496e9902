// Key acquisition: the key file, then prompts for whatever is still missing,
// and the check of the encryption key against a reference file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "cli/config.h"
#include "engine/engine.h"
#include "engine/wipe.h"

namespace {

// Indexed by mode.
constexpr const char* default_prompts[] = {
    "Enter encryption key: ", // encrypt
    "Enter decryption key: ", // decrypt
    "Enter old key: ",        // keychange
    "Enter decryption key: ", // cat
    "Enter key: ",            // unixcrypt
};
constexpr char default_prompt2[] = "Enter new key: ";
constexpr char repeat_suffix[] = "(repeat) ";

void replace_keyword(char** field, char* keyword)
{
    free_keyword(*field);
    *field = keyword;
}

// The next line of the key file into `*field`; false at its end. A zero byte
// ends the keyword early (files written under it still open), with a warning.
bool read_keyword_line(std::FILE* keys, char** field)
{
    bool zero_inside = false;
    replace_keyword(field, read_keyword_line(keys, config.name, &zero_inside));
    if (!*field)
        return false;
    if (zero_inside && config.verbosity >= 0)
        std::fprintf(
            stderr,
            "%s: warning: keyword in %s contains a zero byte; only the bytes before it are used\n",
            config.name, config.keyfile);
    return true;
}

// A key file named "-" is standard input, which stays open: in a filter run
// what follows the key lines is the data. A named file is read through a
// buffer of our own, wiped once the file is closed (stdio would free its own
// as it is).
void read_key_file()
{
    bool from_stdin = std::strcmp(config.keyfile, "-") == 0;
    std::FILE* keys = from_stdin ? stdin : std::fopen(config.keyfile, "r");
    if (!keys) {
        std::fprintf(stderr, "%s: could not read key from %s: %s\n", config.name, config.keyfile,
                     std::strerror(errno));
        std::exit(9);
    }
    char buffered[BUFSIZ];
    if (!from_stdin)
        std::setvbuf(keys, buffered, _IOFBF, sizeof buffered);
    const bool complete =
        read_keyword_line(keys, &config.keyword) &&
        (config.mode != mode_keychange || read_keyword_line(keys, &config.keyword2));
    if (!from_stdin) {
        std::fclose(keys);
        wipe(buffered, sizeof buffered);
    }
    if (!complete) {
        std::fprintf(stderr, "%s: error reading keyfile\n", config.name);
        std::exit(9);
    }
}

// Asks with `*prompt`, defaulted first, into `*field`; with `twice`, asks
// again and insists on the same answer. The confirmation copy is wiped and
// freed on every way out; `*field` is release_keywords' on an exit.
void ask_keyword(char** field, const char** prompt, const char* default_prompt, bool twice)
{
    if (!*prompt)
        *prompt = default_prompt;
    replace_keyword(field, prompt_keyword(*prompt, "", config.name));
    if (!*field) {
        std::fprintf(stderr, "%s: no key given\n", config.name);
        std::exit(9);
    }
    if (twice) {
        char* again = prompt_keyword(*prompt, repeat_suffix, config.name);
        const bool same = again && std::strcmp(again, *field) == 0;
        free_keyword(again);
        if (!same) {
            std::fputs("Sorry, the keys you entered did not match.\n", stderr);
            std::exit(7);
        }
    }
}

// A keyword that will encrypt, if empty, is most likely a slip.
void warn_if_empty(const char* keyword)
{
    if (keyword[0] == '\0' && config.verbosity >= 0)
        std::fprintf(stderr, "%s: warning: empty keyword\n", config.name);
}

} // namespace

void acquire_keywords()
{
    if (config.keyfile)
        read_key_file();
    if (!config.keyword)
        ask_keyword(&config.keyword, &config.prompt, default_prompts[config.mode],
                    config.timid && config.mode == mode_encrypt);
    if (config.mode == mode_keychange && !config.keyword2)
        ask_keyword(&config.keyword2, &config.prompt2, default_prompt2, config.timid);
    if (config.mode == mode_encrypt)
        warn_if_empty(config.keyword);
    if (config.mode == mode_keychange)
        warn_if_empty(config.keyword2);
}

void check_reference_file()
{
    if (!config.keyref)
        return;
    const char* keyword;
    if (config.mode == mode_encrypt)
        keyword = config.keyword;
    else if (config.mode == mode_keychange)
        keyword = config.keyword2;
    else
        return; // elsewhere -y only made the prompt ask once

    std::FILE* reference = std::fopen(config.keyref, "rb");
    if (!reference) {
        std::fprintf(stderr, "%s: could not open %s: %s\n", config.name, config.keyref,
                     std::strerror(errno));
        std::exit(10);
    }
    int result = check_key_reference(reference, keyword);
    if (result == result_ok) {
        std::fclose(reference);
        return;
    }
    // A reference too short to hold a header counts as another key's.
    if (result == result_stream &&
        (stream_fault == fault_bad_format || stream_fault == fault_key_mismatch)) {
        std::fputs("The encryption key does not match the reference file.\n", stderr);
        std::exit(10);
    }
    std::fprintf(stderr, "%s: %s: %s\n", config.name, config.keyref, result_message(result));
    std::exit(result == result_io ? 10 : 2);
}

void release_keywords()
{
    free_keyword(config.keyword);
    free_keyword(config.keyword2);
    config.keyword = nullptr;
    config.keyword2 = nullptr;
}
