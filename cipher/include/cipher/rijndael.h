// The Rijndael block cipher: block and key each 128, 192 or 256 bits.
//
// The rest of the system asks only for a 256-bit key and a 256-bit block
// (8 columns, 8 key words, 14 rounds). Byte i of a block is row i mod 4 of
// column i / 4; a "word" is four consecutive bytes in memory order, so with
// 128-bit block and key these are the AES-128/192/256 operations.
//
// No operation allocates; the block operations do not write the schedule, so
// one schedule may serve any number of callers at once.
//
// Encryption with a 256-bit block runs on the fastest path the CPU offers
// (AES-NI or VAES on x86-64, the Cryptography Extension on arm64, chosen
// once, on first use); every path gives
// the same bytes. Other lengths and all decryption take the portable path,
// which is bitsliced. Every path runs in constant time: no branch and no
// memory address depends on the key or the data, the key expansion included.
#pragma once

#include <cstddef>
#include <cstdint>

// The expanded key: a flat record with no pointers, so callers may copy it
// and keep arrays of them. It is key material: wipe it before release.
struct key_schedule {
    std::int32_t block_words;     // Nb: 4, 6 or 8
    std::int32_t rounds;          // Nr = max(Nk, Nb) + 6
    std::int32_t round_keys[120]; // round key r is words r*Nb .. r*Nb + Nb - 1
    // The round keys 0..Nr again, as the portable path's bit planes (written
    // by schedule_key from round_keys; see cipher/rijndael_bitsliced.cpp).
    std::uint64_t sliced_keys[15][8];
};
static_assert(sizeof(key_schedule) == 122 * sizeof(std::int32_t) + 15 * 8 * sizeof(std::uint64_t));

// Expands `key` (key_bits / 8 bytes) into `schedule`. The key buffer is the
// working storage of the expansion: on return it holds the last group of Nk
// expanded words computed (for 256/256 exactly round key 14). Keyword hashing
// feeds that content into its next pass, so it is part of the contract.
// Returns 0; -1 when key_bits is not 128, 192 or 256 (checked first); -2 when
// block_bits is not. On failure neither buffer is touched.
int schedule_key(std::uint8_t* key, int key_bits, int block_bits, key_schedule* schedule);

// Encrypts one block of 4*Nb bytes in place. The block need not be aligned.
void encrypt_block(std::uint8_t* block, const key_schedule* schedule);

// Decrypts one block of 4*Nb bytes in place with the same schedule.
void decrypt_block(std::uint8_t* block, const key_schedule* schedule);

// Encrypts `count` independent 32-byte blocks from `in` to `out` under a
// 256-bit-block schedule; `in` and `out` may be the same buffer but must not
// otherwise overlap. Equal to `count` calls of encrypt_block, but lets a
// hardware path keep several blocks in flight (CFB decryption knows all its
// feedback blocks in advance).
void encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                    const key_schedule* schedule);

// Cipher feedback with full 32-byte feedback over `count` 32-byte groups,
// under a 256-bit-block schedule (other block lengths are not supported):
// per group, feedback = E(feedback) ^ in-group, and the out-group is the new
// feedback. On return `feedback` holds the last ciphertext group (unchanged
// when count is 0), so calls chain. Equal to `count` passes of encrypt_block
// and a 32-byte XOR, but the hardware paths keep the register in CPU
// registers throughout and fold the XOR into the last round, so each group
// costs the latency of one block and nothing more. `in` and `out` may be
// the same buffer but must not otherwise overlap; `feedback` must overlap
// neither.
void cfb_encrypt_blocks(std::uint8_t feedback[32], const std::uint8_t* in, std::uint8_t* out,
                        std::size_t count, const key_schedule* schedule);
