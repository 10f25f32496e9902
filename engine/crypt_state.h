// Allocation and release of the crypt_state shared by the encryption and
// decryption streams (internal to the engine).
#pragma once

#include "engine/engine.h"

// A zeroed record with an array of `key_count` schedules; null with errno
// set when memory runs out, and then nothing stays allocated.
crypt_state* new_crypt_state(int key_count);

// Frees the schedules, then the record; a null state is released without effect.
void release_crypt_state(crypt_state* state);
