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

void replace_keyword(char** field, char* keyword) {
    free_keyword(*field);
    *field = keyword;
}

void read_keyword_line(std::FILE* keys, char** field) {
    replace_keyword(field, read_line(keys, config.name));
    if (!*field) {
        std::fprintf(stderr, "%s: error reading keyfile\n", config.name);
        std::exit(9);
    }
}

// A key file named "-" is standard input, which stays open: in a filter run
// what follows the key lines is the data.
void read_key_file() {
    bool from_stdin = std::strcmp(config.keyfile, "-") == 0;
    std::FILE* keys = from_stdin ? stdin : std::fopen(config.keyfile, "r");
    if (!keys) {
        std::fprintf(stderr, "%s: could not read key from %s: %s\n", config.name, config.keyfile,
                     std::strerror(errno));
        std::exit(9);
    }
    read_keyword_line(keys, &config.keyword);
    if (config.mode == mode_keychange) read_keyword_line(keys, &config.keyword2);
    if (!from_stdin) std::fclose(keys);
}

// Asks with `*prompt`, defaulted first; with `twice`, asks again and insists
// on the same answer. The confirmation copy is discarded.
char* ask_keyword(const char** prompt, const char* default_prompt, bool twice) {
    if (!*prompt) *prompt = default_prompt;
    char* keyword = prompt_keyword(*prompt, "", config.name);
    if (!keyword) {
        std::fprintf(stderr, "%s: no key given\n", config.name);
        std::exit(9);
    }
    if (twice) {
        char* again = prompt_keyword(*prompt, repeat_suffix, config.name);
        if (!again || std::strcmp(again, keyword) != 0) {
            std::fputs("Sorry, the keys you entered did not match.\n", stderr);
            std::exit(7);
        }
        free_keyword(again);
    }
    return keyword;
}

} // namespace

void acquire_keywords() {
    if (config.keyfile) read_key_file();
    if (!config.keyword) {
        config.keyword = ask_keyword(&config.prompt, default_prompts[config.mode],
                                     config.timid && config.mode == mode_encrypt);
    }
    if (config.mode == mode_keychange && !config.keyword2)
        config.keyword2 = ask_keyword(&config.prompt2, default_prompt2, config.timid);
}

void check_reference_file() {
    if (!config.keyref) return;
    const char* keyword;
    if (config.mode == mode_encrypt) keyword = config.keyword;
    else if (config.mode == mode_keychange) keyword = config.keyword2;
    else return; // elsewhere -y only made the prompt ask once

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

void release_keywords() {
    free_keyword(config.keyword);
    free_keyword(config.keyword2);
    config.keyword = nullptr;
    config.keyword2 = nullptr;
}
