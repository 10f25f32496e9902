// The public block operations and the one place where a path is chosen.
//
// Decryption always takes the portable (bitsliced, constant-time) path: the
// system decrypts only the header block, once per file and candidate key,
// where it costs about a microsecond (docs/PERFORMANCE.md), so a hardware
// inverse cipher (with its own InvMixColumns-transformed round keys) would
// not show in any run.
#include "cipher/rijndael.h"
#include "cipher_paths.h"
#include "rijndael_paths.h"

#include <atomic>

#if OSTREL_CIPHER_X86
#include <cpuid.h>
#endif
#if OSTREL_CIPHER_ARMV8
#include <sys/auxv.h>
#endif

namespace {

struct path_ops {
    cipher_path path;
    void (*encrypt_block_256)(std::uint8_t*, const key_schedule*);
    void (*encrypt_blocks_256)(const std::uint8_t*, std::uint8_t*, std::size_t,
                               const key_schedule*);
    void (*cfb_encrypt_blocks_256)(std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t,
                                   const key_schedule*);
};

constexpr path_ops portable_ops{cipher_path::portable, portable_encrypt_block,
                                portable_encrypt_blocks, portable_cfb_encrypt_blocks};
#if OSTREL_CIPHER_X86
constexpr path_ops aesni_ops{cipher_path::aesni, aesni_encrypt_block_256, aesni_encrypt_blocks_256,
                             aesni_cfb_encrypt_blocks_256};
// The CFB encryption chain is one block after another, so only the latency
// of a round counts: the AES-NI chain (shuffle, blend, AESENC on two halves)
// measured about 2% faster than the VAES one (VPERMB, VAESENC) on the same
// CPU (docs/PERFORMANCE.md), so the VAES path borrows it; the VAES path
// therefore requires the AES-NI path's instructions too.
constexpr path_ops vaes_ops{cipher_path::vaes, vaes_encrypt_block_256, vaes_encrypt_blocks_256,
                            aesni_cfb_encrypt_blocks_256};
#endif
#if OSTREL_CIPHER_ARMV8
constexpr path_ops armv8_ops{cipher_path::armv8, armv8_encrypt_block_256, armv8_encrypt_blocks_256,
                             armv8_cfb_encrypt_blocks_256};
#endif

const path_ops* ops_for(cipher_path path) {
    switch (path) {
#if OSTREL_CIPHER_X86
    case cipher_path::aesni: return &aesni_ops;
    case cipher_path::vaes: return &vaes_ops;
#endif
#if OSTREL_CIPHER_ARMV8
    case cipher_path::armv8: return &armv8_ops;
#endif
    default: return &portable_ops;
    }
}

const path_ops* best_supported() {
    for (cipher_path path : {cipher_path::vaes, cipher_path::aesni, cipher_path::armv8})
        if (cipher_path_supported(path)) return ops_for(path);
    return &portable_ops;
}

// Null until the first block operation; relaxed is enough because every
// value ever stored points at a constant record.
std::atomic<const path_ops*> active{nullptr};

const path_ops* active_ops() {
    const path_ops* ops = active.load(std::memory_order_relaxed);
    if (ops == nullptr) {
        ops = best_supported();
        active.store(ops, std::memory_order_relaxed);
    }
    return ops;
}

} // namespace

const char* cipher_path_name(cipher_path path) {
    switch (path) {
    case cipher_path::portable: return "portable";
    case cipher_path::aesni: return "aesni";
    case cipher_path::vaes: return "vaes";
    case cipher_path::armv8: return "armv8";
    }
    return "unknown";
}

#if OSTREL_CIPHER_X86
// VAES is CPUID leaf 7, ECX bit 9. Asked directly because not every
// compiler's __builtin_cpu_supports knows the name; whether the system saves
// the wide registers it needs is what the AVX-512 tests beside it tell.
static bool cpu_has_vaes() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return (ecx & (1u << 9)) != 0;
}
#endif

bool cipher_path_supported(cipher_path path) {
    switch (path) {
    case cipher_path::portable: return true;
#if OSTREL_CIPHER_X86
    case cipher_path::aesni:
        __builtin_cpu_init();
        return __builtin_cpu_supports("aes") && __builtin_cpu_supports("sse4.1") &&
               __builtin_cpu_supports("ssse3");
    case cipher_path::vaes:
        // libgcc reports the AVX-512 features only when the system saves
        // their register state. The AES-NI path's instructions too, for
        // the CFB chain it borrows.
        __builtin_cpu_init();
        return cpu_has_vaes() && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx512vbmi") && cipher_path_supported(cipher_path::aesni);
#endif
#if OSTREL_CIPHER_ARMV8
    case cipher_path::armv8:
        // The kernel reports AESE/AESMC here; reading the ID registers
        // directly would trap on kernels that do not emulate them.
        return (getauxval(AT_HWCAP) & HWCAP_AES) != 0;
#endif
    default: return false;
    }
}

cipher_path active_cipher_path() { return active_ops()->path; }

int force_cipher_path(cipher_path path) {
    if (!cipher_path_supported(path)) return -1;
    active.store(ops_for(path), std::memory_order_relaxed);
    return 0;
}

void encrypt_block(std::uint8_t* block, const key_schedule* schedule) {
    if (schedule->block_words == 8)
        active_ops()->encrypt_block_256(block, schedule);
    else
        portable_encrypt_block(block, schedule);
}

void decrypt_block(std::uint8_t* block, const key_schedule* schedule) {
    portable_decrypt_block(block, schedule);
}

void encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                    const key_schedule* schedule) {
    if (schedule->block_words == 8)
        active_ops()->encrypt_blocks_256(in, out, count, schedule);
    else
        portable_encrypt_blocks(in, out, count, schedule);
}

void cfb_encrypt_blocks(std::uint8_t feedback[32], const std::uint8_t* in, std::uint8_t* out,
                        std::size_t count, const key_schedule* schedule) {
    active_ops()->cfb_encrypt_blocks_256(feedback, in, out, count, schedule);
}
