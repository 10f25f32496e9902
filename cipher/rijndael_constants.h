// Public constants of Rijndael: the round constants of the key expansion.
// (The row offsets are built into each path's code.) Nothing here is indexed
// by key or data bytes; the program holds no substitution or mixing table.
#pragma once

#include <array>
#include <cstdint>

namespace rijndael_constants {

// x^(i) in GF(2^8) with the polynomial x^8 + x^4 + x^3 + x + 1: 01 02 04 ... 1B 36 ...
constexpr std::array<std::uint8_t, 30> make_round_constants() {
    std::array<std::uint8_t, 30> rc{};
    std::uint8_t x = 1;
    for (auto& c : rc) {
        c = x;
        x = static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
    }
    return rc;
}

inline constexpr std::array<std::uint8_t, 30> round_constants = make_round_constants();

static_assert(round_constants[9] == 0x36 && round_constants[29] == 0x91);

} // namespace rijndael_constants
