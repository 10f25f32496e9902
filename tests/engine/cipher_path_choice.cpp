// Lets one test program run the whole engine suite over a chosen block
// cipher path, so a CPU without AES-NI or VAES is covered on this one too.
// The variable is read by the test program only; the ostrel program never
// looks at it.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cipher/cipher_paths.h"

namespace {

const bool chosen = [] {
    const char* wanted = std::getenv("OSTREL_TEST_CIPHER_PATH");
    if (wanted == nullptr) return false;
    for (cipher_path path : all_cipher_paths) {
        if (std::strcmp(cipher_path_name(path), wanted) != 0) continue;
        if (force_cipher_path(path) != 0) {
            // The CPU lacks it: say so, and let the suite run on the default.
            std::fprintf(stderr, "cipher path %s is not supported here; using %s\n", wanted,
                         cipher_path_name(active_cipher_path()));
            return false;
        }
        std::fprintf(stderr, "engine suite on the %s cipher path\n",
                     cipher_path_name(active_cipher_path()));
        return true;
    }
    std::fprintf(stderr, "unknown cipher path %s\n", wanted);
    std::exit(2);
}();

} // namespace
