// Decryption of files of the traditional Unix crypt(1) command: a machine of
// one 256-position rotor and a reflector, keyed through crypt(3)'s
// traditional DES hash of the keyword. The transformation is its own inverse.
// A legacy stream has no header, so a wrong keyword is never detected.
#pragma once

#include <cstdint>

#include "base/base.h"

struct rotor_state {
    std::uint8_t rotor[256];
    std::uint8_t reflector[256];
    std::uint8_t rotor_inverse[256];
    std::int32_t slow_offset;
    std::int32_t fast_offset;
};

// Builds the machine from the first 8 bytes of `keyword`. 0, or -1 with errno
// when the state cannot be allocated or crypt(3) gives no result.
int unixcrypt_init(cipher_stream* stream, const char* keyword);
// One output byte per input byte while both sides have room; always 0.
int unixcrypt_step(cipher_stream* stream);
// Releases the state; always 0 (there is no trailer to check).
int unixcrypt_end(cipher_stream* stream);
