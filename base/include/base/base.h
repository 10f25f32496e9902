// What every layer shares: the stream record and its result codes, wiping
// of key material, locking it in memory, and the marks of what the
// constant-time test may treat as public.
#pragma once

#include <string.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// OSTREL_HAVE_MEMCHECK: set by base/CMakeLists.txt where valgrind's header
// is installed.
#if OSTREL_HAVE_MEMCHECK
#include <valgrind/memcheck.h>
#endif

// ---- The stream contract -------------------------------------------------------
// The stream record through which every transformation of the program runs.
// Every stream kind (encryption, decryption, key change, legacy rotor) is a
// triple init/step/end over this record, so the drivers take any of them as
// a pair (step, end).
struct cipher_stream {
    const std::uint8_t* in_ptr; // next input byte; advanced past every byte consumed
    std::int32_t in_left;       // input bytes available at in_ptr
    std::uint8_t* out_ptr;      // where the next output byte goes
    std::int32_t out_left;      // free space at out_ptr
    void* state;                // the kind's own state; null once released
    int fault;                  // the fault_* of this stream's last result_stream
};

// Result codes of every init, step and end, and of the drivers. An init,
// step or end leaves the detail where the comments say; the drivers and
// everything above them carry it in a stream_result (engine/engine.h).
enum : int {
    result_ok = 0,
    result_system = -1, // system error; detail in errno
    result_stream = -2, // stream error; detail in the stream's `fault`
    result_io = -3,     // input/output error of a driver; detail: the failing call's errno
};

// Detail of a -2. A stream kind sets its own in `fault`, kept until its
// next failure; the drivers' own (buffer overflow, changed size) are only in
// their stream_result.
enum : int {
    fault_bad_format = 1,
    fault_key_mismatch = 2,
    fault_buffer_overflow = 3,
    fault_changed_size = 4, // in place: another writer changed the file's length
};

using stream_step_fn = int (*)(cipher_stream*);
using stream_end_fn = int (*)(cipher_stream*);

// ---- Public by design -----------------------------------------------------------
// What the constant-time test may treat as public. That test
// (tests/engine/constant_time_probe.cpp) runs the engine under valgrind's
// memcheck with keyword, key and plaintext bytes marked undefined, so that
// every branch, memory address or system-call argument computed from them is
// reported. A value that is public by design is marked defined where it is
// computed, and only these: the length of a keyword (hashing does one pass
// per 32 of its bytes, so its running time shows the length anyway) and
// whether a candidate key opens a header (which key the program takes is its
// visible outcome). Outside valgrind the marks are a handful of instructions
// that change nothing; built without valgrind's header, they are nothing.
inline void declassify(const void* value, std::size_t size) {
#if OSTREL_HAVE_MEMCHECK
    (void)VALGRIND_MAKE_MEM_DEFINED(value, size);
#else
    (void)value;
    (void)size;
#endif
}

// strlen for keywords: no branch on a byte's value except on whether it is
// zero, which alone is declassified.
inline std::size_t keyword_length(const char* keyword) {
    for (std::size_t n = 0;; ++n) {
        unsigned end =
            (static_cast<unsigned>(static_cast<unsigned char>(keyword[n])) - 1u) >> 8 & 1u;
        declassify(&end, sizeof end);
        if (end != 0) return n;
    }
}

// ---- Wiping ----------------------------------------------------------------------
// Key material (keywords, hashed keys, key schedules, decrypted buffers) is
// wiped before its memory goes back to the allocator or its stack frame
// ends, so that neither a later allocation nor a core dump shows it.
// explicit_bzero is not optimised away like a memset before free would be.
inline void wipe(void* block, std::size_t size) { explicit_bzero(block, size); }

inline void wipe_and_free(void* block, std::size_t size) {
    if (block == nullptr) return;
    explicit_bzero(block, size);
    std::free(block);
}

// Frees a NUL-terminated keyword after wiping it, up to and including its
// terminator: the allocation must end there (as read_line's and every other
// keyword copy of the program do).
inline void free_keyword(char* text) {
    if (text != nullptr) wipe_and_free(text, keyword_length(text) + 1);
}

// ---- Memory locking -------------------------------------------------------------
// Locks the pages holding `size` bytes at `block` into memory, where the
// process's RLIMIT_MEMLOCK allows; best effort, a refusal changes nothing.
// The pages stay locked when the block is released: other key blocks may
// share them, and locks do not nest.
void lock_memory(void* block, std::size_t size);
