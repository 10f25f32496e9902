// Small helpers shared by the block cipher tests.
#pragma once

#include "cipher/rijndael.h"

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace cipher_test {

inline std::vector<std::uint8_t> from_hex(const std::string& hex) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::string to_hex(const std::uint8_t* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::vector<std::uint8_t> random_bytes(std::mt19937& rng, std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    return bytes;
}

// A schedule for `key`, leaving the caller's copy of the key intact.
inline key_schedule schedule_for(std::vector<std::uint8_t> key, int block_bits) {
    key_schedule schedule{};
    schedule_key(key.data(), static_cast<int>(key.size() * 8), block_bits, &schedule);
    return schedule;
}

// The nine lengths, key bits by block bits.
struct lengths {
    int key_bits;
    int block_bits;
};
inline void PrintTo(const lengths& l, std::ostream* os) {
    *os << "key " << l.key_bits << " block " << l.block_bits;
}
inline constexpr lengths all_lengths[] = {
    {128, 128}, {192, 128}, {256, 128}, {128, 192}, {192, 192},
    {256, 192}, {128, 256}, {192, 256}, {256, 256},
};

} // namespace cipher_test
