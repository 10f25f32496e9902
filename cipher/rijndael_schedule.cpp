// Key expansion. The caller's key buffer is the working storage: it is
// advanced in whole groups of Nk words, and whatever group was computed last
// stays in it, including words beyond the end of the schedule. The
// substitution of key words is the same Boolean circuit as the portable
// path's, so the expansion too runs in constant time.
#include "cipher/rijndael.h"
#include "rijndael_constants.h"
#include "rijndael_paths.h"
#include "rijndael_sbox_circuit.h"

#include <algorithm>
#include <cstring>

namespace {

using rijndael_constants::round_constants;

bool supported_length(int bits) { return bits == 128 || bits == 192 || bits == 256; }

void xor_word(std::uint8_t* into, const std::uint8_t* from) {
    for (int k = 0; k < 4; ++k) into[k] ^= from[k];
}

// S-box on each of the four bytes: bit i of byte k is bit 8k of plane i.
void substitute_word(const std::uint8_t* in, std::uint8_t* out) {
    const std::uint32_t w = std::uint32_t{in[0]} | std::uint32_t{in[1]} << 8 |
                            std::uint32_t{in[2]} << 16 | std::uint32_t{in[3]} << 24;
    std::uint32_t q[8];
    for (int i = 0; i < 8; ++i) q[i] = (w >> i) & 0x01010101u;
    rijndael_circuit::substitute_without_constant(q);
    std::uint32_t s = 0x63636363u;
    for (int i = 0; i < 8; ++i) s ^= q[i] << i;
    for (int k = 0; k < 4; ++k) out[k] = static_cast<std::uint8_t>(s >> (8 * k));
}

// Advances the buffer of Nk words to the next group of expanded words.
void next_group(std::uint8_t* w, int nk, int round_constant_index) {
    const std::uint8_t* last = w + 4 * (nk - 1);
    // Rotated and substituted from the last word as it was before this group.
    const std::uint8_t rotated[4] = {last[1], last[2], last[3], last[0]};
    std::uint8_t rot[4];
    substitute_word(rotated, rot);
    rot[0] ^= round_constants[round_constant_index];
    xor_word(w, rot);
    if (nk == 8) {
        for (int i = 1; i < 4; ++i) xor_word(w + 4 * i, w + 4 * (i - 1));
        std::uint8_t sub[4];
        substitute_word(w + 12, sub);
        xor_word(w + 16, sub);
        for (int i = 5; i < 8; ++i) xor_word(w + 4 * i, w + 4 * (i - 1));
    } else {
        for (int i = 1; i < nk; ++i) xor_word(w + 4 * i, w + 4 * (i - 1));
    }
}

} // namespace

int schedule_key(std::uint8_t* key, int key_bits, int block_bits, key_schedule* schedule) {
    if (!supported_length(key_bits)) return -1;
    if (!supported_length(block_bits)) return -2;

    const int nk = key_bits / 32;
    const int nb = block_bits / 32;
    const int nr = std::max(nk, nb) + 6;
    const int total = nb * (nr + 1);

    // round_keys hold key bytes in memory order; the int32 view is only
    // storage, so the bytes go in with memcpy.
    auto* words = reinterpret_cast<std::uint8_t*>(schedule->round_keys);
    std::memcpy(words, key, 4 * static_cast<std::size_t>(nk));
    int n = nk;
    for (int i = 0; n < total; ++i) {
        next_group(key, nk, i);
        const int take = std::min(nk, total - n);
        std::memcpy(words + 4 * n, key, 4 * static_cast<std::size_t>(take));
        n += take;
    }

    schedule->block_words = nb;
    schedule->rounds = nr;
    slice_round_keys(schedule);
    return 0;
}
