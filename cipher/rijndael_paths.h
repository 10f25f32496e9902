// The implementations behind the public block operations, one set per path.
// Internal to cipher/: callers go through rijndael.h, which dispatches.
//
// The hardware paths handle only the 256-bit block (Nb = 8, 14 rounds), the
// one the system uses; every other length takes the portable path. They read
// the round keys straight from the schedule, which already holds them in
// memory order, so a schedule needs no conversion per path.
#pragma once

#include "cipher/rijndael.h"

#include <cstddef>
#include <cstdint>

// Bitsliced, constant time; any of the nine lengths (rijndael_bitsliced.cpp).
// They read sliced_keys, not round_keys.
void portable_encrypt_block(std::uint8_t* block, const key_schedule* schedule);
void portable_decrypt_block(std::uint8_t* block, const key_schedule* schedule);
// Blocks of 4*Nb bytes each.
void portable_encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                             const key_schedule* schedule);
// Nb = 8 only, as cfb_encrypt_blocks.
void portable_cfb_encrypt_blocks(std::uint8_t feedback[32], const std::uint8_t* in,
                                 std::uint8_t* out, std::size_t count,
                                 const key_schedule* schedule);
// Derives sliced_keys from round_keys, block_words and rounds; schedule_key
// calls it, and so must whoever edits those fields of a schedule by hand.
void slice_round_keys(key_schedule* schedule);

// Built only for x86-64 (OSTREL_CIPHER_X86).
// AES-NI on two 128-bit halves (needs AES, SSE4.1, SSSE3). Nb = 8 only.
void aesni_encrypt_block_256(std::uint8_t* block, const key_schedule* schedule);
void aesni_encrypt_blocks_256(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                              const key_schedule* schedule);
void aesni_cfb_encrypt_blocks_256(std::uint8_t feedback[32], const std::uint8_t* in,
                                  std::uint8_t* out, std::size_t count,
                                  const key_schedule* schedule);

// VAES on whole 256-bit blocks, two per 512-bit register (needs VAES,
// AVX512F, AVX512BW, AVX512VL, AVX512VBMI). Nb = 8 only. Its CFB chain is
// the AES-NI one (rijndael.cpp).
void vaes_encrypt_block_256(std::uint8_t* block, const key_schedule* schedule);
void vaes_encrypt_blocks_256(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                             const key_schedule* schedule);

// Built only for arm64 (OSTREL_CIPHER_ARMV8).
// The ARMv8 Cryptography Extension on two 128-bit halves (needs AES, which
// the auxiliary vector reports as HWCAP_AES). Nb = 8 only.
void armv8_encrypt_block_256(std::uint8_t* block, const key_schedule* schedule);
void armv8_encrypt_blocks_256(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                              const key_schedule* schedule);
void armv8_cfb_encrypt_blocks_256(std::uint8_t feedback[32], const std::uint8_t* in,
                                  std::uint8_t* out, std::size_t count,
                                  const key_schedule* schedule);
