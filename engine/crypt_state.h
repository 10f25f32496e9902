// Allocation and release of the crypt_state shared by the encryption and
// decryption streams (internal to the engine).
#pragma once

#include "engine/engine.h"

// A zeroed record with an array of `key_count` schedules; null with errno
// set when memory runs out, and then nothing stays allocated.
crypt_state* new_crypt_state(int key_count);

// Frees the schedules, then the record; a null state is released without effect.
void release_crypt_state(crypt_state* state);

// The first bytes of every header block once opened with the right key.
inline constexpr std::uint8_t header_magic[4] = {'q', '7', 'w', '3'};

// The key schedule of a keyword (hashed, then expanded); the hashed key
// lives on a locked, wiped stack buffer.
void schedule_keyword(const char* keyword, key_schedule* schedule);

// A copy of `keyword` with a CR after it (free_keyword it); null when
// memory runs out.
char* keyword_with_cr(const char* keyword);

// `ready` copied into `schedule`, or, when it is null, the keyword's own.
void take_schedule(const char* keyword, const key_schedule* ready, key_schedule* schedule);

// The body of a stream in cipher feedback with full 32-byte feedback: whole
// groups through `groups` while both sides have room for one, single bytes
// through the register. The register takes each ciphertext byte: the
// output when encrypting, the input when decrypting.
void run_feedback(crypt_state* state, cipher_stream* stream, bool decrypting,
                  void (*groups)(crypt_state*, cipher_stream*));

// The nonce of the next header block: make_nonce's, unless a test has
// installed a source of its own (engine/testing.h).
void fill_nonce(std::uint8_t out[32]);

// Decryption with a list of candidate keywords: the first whose key opens
// the header wins (decrypt_init tries the keyword and keyword + CR).
// `ready`, unless null, holds the candidates' schedules, made before.
int decrypt_multi_init(cipher_stream* stream, int count, const char* const* candidates,
                       int mismatch, const key_schedule* ready = nullptr);
