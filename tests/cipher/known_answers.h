// Known answers from independent sources. Key: bytes 00 01 02 ... of the key
// length; plaintext: 00 11 22 ... ff ff ee dd ... 00 cut to the block length.
// The 128-bit-block answers are FIPS-197 Appendix C.1-C.3; the others were
// produced by libmcrypt's "rijndael-192" and "rijndael-256" in ECB mode.
#pragma once

#include <cstdint>
#include <ostream>
#include <vector>

namespace cipher_test {

struct known_answer {
    int key_bits;
    int block_bits;
    const char* ciphertext;
};

inline void PrintTo(const known_answer& v, std::ostream* os) {
    *os << "key " << v.key_bits << " block " << v.block_bits;
}

inline constexpr known_answer known_answers[] = {
    {128, 128, "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {192, 128, "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {256, 128, "8ea2b7ca516745bfeafc49904b496089"},
    {128, 192, "e4a883803ba68ea791003cc9353bb4f4cdd44c592f4810e7"},
    {192, 192, "f8e5adac70bc24c12e12e507b8828326ece2fce6668c52c5"},
    {256, 192, "aed3f23c210d727383246c685a0e7074c6f87d76122549ef"},
    {128, 256, "df87fae0c6a254578537a61d7c925a0de42bee561ed50e2adadec4e0ba99612b"},
    {192, 256, "fedf316a237722bd190c5457a10bf4ed85af4124473b9d71536d18766906e120"},
    {256, 256, "410c9914a4dd2ef4827c58362c13ae551782b82e62ade538d9d3dc1390ce8732"},
};

inline std::vector<std::uint8_t> known_key(int key_bits) {
    std::vector<std::uint8_t> key(static_cast<std::size_t>(key_bits / 8));
    for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
    return key;
}

inline std::vector<std::uint8_t> known_plaintext(int block_bits) {
    std::vector<std::uint8_t> block(static_cast<std::size_t>(block_bits / 8));
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<std::uint8_t>(i < 16 ? 0x11 * i : 0x11 * (31 - i));
    return block;
}

} // namespace cipher_test
