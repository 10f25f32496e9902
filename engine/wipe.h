// Key material (keywords, hashed keys, key schedules, decrypted buffers) is
// wiped before its memory goes back to the allocator or its stack frame
// ends, so that neither a later allocation nor a core dump shows it.
// explicit_bzero is not optimised away like a memset before free would be.
#pragma once

#include <string.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "engine/declassify.h"

inline void wipe(void* block, std::size_t size) { explicit_bzero(block, size); }

inline void wipe_and_free(void* block, std::size_t size) {
    if (block == nullptr) return;
    explicit_bzero(block, size);
    std::free(block);
}

// Frees a NUL-terminated keyword after wiping it, up to and including its
// terminator: the allocation must end there (as read_line's and every other
// keyword copy of the program do).
inline void free_keyword(char* text) {
    if (text != nullptr) wipe_and_free(text, keyword_length(text) + 1);
}
