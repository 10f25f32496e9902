// The table-driven Rijndael that the program used before its portable path
// was bitsliced: per round one byte pass (substitute and rotate rows) and one
// word pass (four table lookups and the round key per column). Its lookups
// are indexed by key and data bytes, so it stays out of the program; the
// tests keep it as an independent reference and the benchmark as the
// yardstick of the bitsliced path.
#include "table_rijndael.h"
#include "table_rijndael_tables.h"

#include <array>
#include <cstring>

namespace {

using rijndael_tables::inv_sbox;
using rijndael_tables::mix;
using rijndael_tables::sbox;
using rijndael_tables::unmix;

// The schedule's words as stored: bytes in memory order, read natively, which
// is the sense in which the mix tables are packed.
const std::uint32_t* round_key(const key_schedule* schedule, int round, int nb) {
    return reinterpret_cast<const std::uint32_t*>(schedule->round_keys) + round * nb;
}

std::uint32_t load_word(const std::uint8_t* p) {
    std::uint32_t w;
    std::memcpy(&w, p, 4);
    return w;
}

// For every byte position of the rotated state, the position it is read
// from: row k of column j comes from row k of column (j + offset[k]) mod Nb.
// The offsets are fixed by Nb, so the positions are constants of the
// compiled round and the byte pass unrolls into plain loads.
template <int NB> struct rotation {
    static constexpr int index = NB == 4 ? 0 : NB == 6 ? 1 : 2;
    static constexpr std::array<std::uint8_t, 4 * NB> sources(const std::int32_t* offset) {
        std::array<std::uint8_t, 4 * NB> source{};
        for (int j = 0; j < NB; ++j)
            for (int k = 0; k < 4; ++k)
                source[4 * j + k] = static_cast<std::uint8_t>(4 * ((j + offset[k]) % NB) + k);
        return source;
    }
    static constexpr auto encrypt = sources(rijndael_tables::offsets_by_block[index].shift);
    static constexpr auto decrypt = sources(rijndael_tables::offsets_by_block[index].unshift);
};

template <int NB> void encrypt(std::uint8_t* block, const key_schedule* schedule) {
    constexpr int bytes = 4 * NB;
    const int nr = schedule->rounds;
    constexpr auto source = rotation<NB>::encrypt;

    std::uint32_t state[NB];
    std::memcpy(state, block, bytes);
    const std::uint32_t* rk = round_key(schedule, 0, NB);
    for (int j = 0; j < NB; ++j) state[j] ^= rk[j];

    const auto* s = reinterpret_cast<const std::uint8_t*>(state);
    std::uint8_t t[bytes];
    for (int r = 1; r < nr; ++r) {
        for (int i = 0; i < bytes; ++i) t[i] = sbox[s[source[i]]];
        rk = round_key(schedule, r, NB);
        for (int j = 0; j < NB; ++j)
            state[j] = mix[0][t[4 * j]] ^ mix[1][t[4 * j + 1]] ^ mix[2][t[4 * j + 2]] ^
                       mix[3][t[4 * j + 3]] ^ rk[j];
    }
    for (int i = 0; i < bytes; ++i) t[i] = sbox[s[source[i]]];
    rk = round_key(schedule, nr, NB);
    for (int j = 0; j < NB; ++j) state[j] = load_word(t + 4 * j) ^ rk[j];
    std::memcpy(block, state, bytes);
}

template <int NB> void decrypt(std::uint8_t* block, const key_schedule* schedule) {
    constexpr int bytes = 4 * NB;
    const int nr = schedule->rounds;
    constexpr auto source = rotation<NB>::decrypt;

    std::uint32_t t[NB];
    std::memcpy(t, block, bytes);
    const std::uint32_t* rk = round_key(schedule, nr, NB);
    for (int j = 0; j < NB; ++j) t[j] ^= rk[j];

    const auto* tb = reinterpret_cast<const std::uint8_t*>(t);
    std::uint8_t state[bytes];
    for (int i = 0; i < bytes; ++i) state[i] = inv_sbox[tb[source[i]]];
    for (int r = nr - 1; r >= 1; --r) {
        rk = round_key(schedule, r, NB);
        for (int j = 0; j < NB; ++j) {
            std::uint8_t* c = state + 4 * j;
            const std::uint32_t keyed = load_word(c) ^ rk[j];
            std::memcpy(c, &keyed, 4);
            t[j] = unmix[0][c[0]] ^ unmix[1][c[1]] ^ unmix[2][c[2]] ^ unmix[3][c[3]];
        }
        for (int i = 0; i < bytes; ++i) state[i] = inv_sbox[tb[source[i]]];
    }
    rk = round_key(schedule, 0, NB);
    for (int j = 0; j < NB; ++j) {
        const std::uint32_t w = load_word(state + 4 * j) ^ rk[j];
        std::memcpy(block + 4 * j, &w, 4);
    }
}

} // namespace

void table_encrypt_block(std::uint8_t* block, const key_schedule* schedule) {
    switch (schedule->block_words) {
    case 4: encrypt<4>(block, schedule); break;
    case 6: encrypt<6>(block, schedule); break;
    default: encrypt<8>(block, schedule); break;
    }
}

void table_decrypt_block(std::uint8_t* block, const key_schedule* schedule) {
    switch (schedule->block_words) {
    case 4: decrypt<4>(block, schedule); break;
    case 6: decrypt<6>(block, schedule); break;
    default: decrypt<8>(block, schedule); break;
    }
}

void table_encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                          const key_schedule* schedule) {
    const std::size_t bytes = 4 * static_cast<std::size_t>(schedule->block_words);
    for (std::size_t i = 0; i < count; ++i) {
        if (in != out) std::memcpy(out + i * bytes, in + i * bytes, bytes);
        table_encrypt_block(out + i * bytes, schedule);
    }
}

void table_cfb_encrypt_blocks(std::uint8_t feedback[32], const std::uint8_t* in, std::uint8_t* out,
                              std::size_t count, const key_schedule* schedule) {
    for (std::size_t i = 0; i < count; ++i) {
        encrypt<8>(feedback, schedule);
        for (int j = 0; j < 32; ++j) feedback[j] ^= in[32 * i + j];
        std::memcpy(out + 32 * i, feedback, 32);
    }
}
