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
#pragma once

#include <cstddef>

// OSTREL_HAVE_MEMCHECK: set by engine/CMakeLists.txt where valgrind's
// header is installed.
#if OSTREL_HAVE_MEMCHECK
#include <valgrind/memcheck.h>
#endif

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
