// Which implementation serves the block operations of rijndael.h.
//
// The program never calls anything here: the best path the CPU supports is
// chosen once, on the first block operation. Tests and benchmarks use
// force_cipher_path to run each path in turn.
#pragma once

enum class cipher_path {
    portable, // bitsliced, every CPU, every length
    aesni,    // x86-64 AES-NI with SSE4.1 and SSSE3, 256-bit block
    vaes,     // x86-64 VAES with AVX-512 (F, BW, VL, VBMI) and the aesni
              // path's instructions, 256-bit block
    armv8,    // arm64 Cryptography Extension (AESE, AESMC), 256-bit block
};

// Every path of every target; those a build or CPU lacks are refused.
inline constexpr cipher_path all_cipher_paths[] = {cipher_path::portable, cipher_path::aesni,
                                                   cipher_path::vaes, cipher_path::armv8};

// "portable", "aesni", "vaes" or "armv8".
const char* cipher_path_name(cipher_path path);

// Whether this build has the path and this CPU can run it.
bool cipher_path_supported(cipher_path path);

// The path that serves the block operations now (choosing it if no block
// operation has run yet).
cipher_path active_cipher_path();

// Makes `path` serve all later block operations. Returns 0, or -1 and changes
// nothing when the path is not supported. Not safe while block operations
// run on other threads.
int force_cipher_path(cipher_path path);
