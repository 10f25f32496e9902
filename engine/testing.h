// Test seams of the engine. Not part of the program's interface: nothing in
// the program calls these; tests use them to make encryption repeatable.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "crypt_state.h"
#include "engine/engine.h"

using nonce_source_fn = void (*)(std::uint8_t out[32]);

// Where encrypt_init takes the nonce of a new header block: make_nonce,
// unless a test has installed a source of its own. Returns the previously
// installed source (null for make_nonce); passing null restores make_nonce.
nonce_source_fn set_nonce_source_for_testing(nonce_source_fn source);

// The parts of make_nonce, for tests of each.
//
// 32 random bytes from `source` (getrandom(2) in the program), or, if it
// fails, from the file at `fallback_path` (/dev/urandom). Short counts and
// EINTR are retried. 0, or -1 when neither gives 32 bytes.
using getrandom_fn = ssize_t (*)(void* buffer, std::size_t length, unsigned flags);
int nonce_random_bytes(std::uint8_t out[32], getrandom_fn source, const char* fallback_path);

// The text make_nonce hashes: "host,seconds,microseconds,pid,counter", then
// "," and 64 lowercase hex digits of `random` unless it is null. snprintf's
// result: the length the whole text has (or would have had, if cut by `size`).
int format_nonce_text(char* text, std::size_t size, const char* host, long seconds,
                      long microseconds, long pid, std::int32_t counter,
                      const std::uint8_t* random);

// Whether the drivers move an input on a helper thread (engine/io_overlap.h):
// by its length as the program does (automatic), never, or always; and the
// size of the chunks the helper moves (0: the program's). Returns the
// setting before.
#include "io_overlap.h"
overlap_setting set_overlap_for_testing(overlap_setting chosen);
