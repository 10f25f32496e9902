// Keyword hashing: the keyword is folded into a key buffer 32 bytes at a
// time, and each pass's schedule encrypts the running hash once.

#include "base/base.h"
#include "engine/engine.h"

void hash_keyword(const char* keyword, std::uint8_t out[32]) {
    std::uint8_t key[32] = {};
    key_schedule schedule;
    lock_memory(key, sizeof key);
    lock_memory(&schedule, sizeof schedule);
    for (int j = 0; j < 32; ++j) out[j] = 0;

    // The bytes are taken by count, not by looking for the terminator, so
    // only the length steers the loops.
    const auto* next = reinterpret_cast<const std::uint8_t*>(keyword);
    std::size_t left = keyword_length(keyword);
    do {
        for (int j = 0; j < 32 && left > 0; ++j, --left) key[j] ^= *next++;
        // schedule_key leaves the last round key in `key`; the next pass
        // XORs into that, not into the keyword bytes of this pass.
        schedule_key(key, 256, 256, &schedule);
        encrypt_block(out, &schedule);
    } while (left > 0);
    wipe(&schedule, sizeof schedule);
    wipe(key, sizeof key);
}
