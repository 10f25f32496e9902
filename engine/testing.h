// Test seams of the engine. Not part of the program's interface: nothing in
// the program calls these; tests use them to make encryption repeatable.
#pragma once

#include <cstdint>

using nonce_source_fn = void (*)(std::uint8_t out[32]);

// Where encrypt_init takes the nonce of a new header block: make_nonce,
// unless a test has installed a source of its own. Returns the previously
// installed source (null for make_nonce); passing null restores make_nonce.
nonce_source_fn set_nonce_source_for_testing(nonce_source_fn source);

// The nonce of the next header block, from the installed source.
void fill_nonce(std::uint8_t out[32]);
