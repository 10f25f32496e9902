// Keeping key material out of swap.
#pragma once

#include <cstddef>

// Locks the pages holding `size` bytes at `block` into memory, where the
// process's RLIMIT_MEMLOCK allows; best effort, a refusal changes nothing.
// The pages stay locked when the block is released: other key blocks may
// share them, and locks do not nest.
void lock_memory(void* block, std::size_t size);
