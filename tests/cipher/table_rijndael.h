// The table-driven reference Rijndael (table_rijndael.cpp): any of the nine
// lengths, from a key_schedule's round_keys. Not constant time; tests and
// benchmarks only.
#pragma once

#include "cipher/rijndael.h"

#include <cstddef>
#include <cstdint>

void table_encrypt_block(std::uint8_t* block, const key_schedule* schedule);
void table_decrypt_block(std::uint8_t* block, const key_schedule* schedule);
// `count` blocks of 4*Nb bytes each, one after another.
void table_encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                          const key_schedule* schedule);
// As cfb_encrypt_blocks (Nb = 8): block after block and a 32-byte XOR.
void table_cfb_encrypt_blocks(std::uint8_t feedback[32], const std::uint8_t* in, std::uint8_t* out,
                              std::size_t count, const key_schedule* schedule);
