// The constant-time test: keyword hashing, the key expansion, the block
// operations, the header check and the encryption, decryption and key-change
// streams, run with keyword, key and plaintext bytes marked undefined for
// valgrind's memcheck. Memcheck then reports every conditional jump, every
// memory address and every system-call argument that depends on them: a
// table lookup or a branch on a secret. Public by design, and marked defined
// again, are only the ciphertext a stream writes and what base/base.h
// names (a keyword's length, whether a key opens a header).
//
// Run by test.sh as `valgrind --error-exitcode=1 constant_time_probe`; on
// its own (without valgrind) it checks only that the round trips hold. With
// the argument --control it does instead what the cipher must not (a table
// lookup and a branch on a secret byte), which memcheck must report: proof
// that the probe is watched. It
// exercises the portable path and, where the CPU (as valgrind presents it)
// has it, the AES-NI one; valgrind does not run AVX-512, so the VAES path is
// not among them. Inputs are a few blocks each: memcheck is slow.
#include <valgrind/memcheck.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "cipher/cipher_paths.h"
#include "cipher/rijndael.h"
#include "engine/engine.h"
#include "engine/testing.h"

namespace {

int failures = 0;

void secret(void* p, std::size_t n) { (void)VALGRIND_MAKE_MEM_UNDEFINED(p, n); }
void make_public(const void* p, std::size_t n) { (void)VALGRIND_MAKE_MEM_DEFINED(p, n); }

void fill(std::uint8_t* p, std::size_t n, unsigned seed) {
    for (std::size_t i = 0; i < n; ++i) p[i] = static_cast<std::uint8_t>(seed * 131 + i * 29 + 1);
}

void expect(bool ok, const char* what, cipher_path path) {
    if (!ok) {
        std::fprintf(stderr, "constant_time_probe: %s path: %s\n", cipher_path_name(path), what);
        ++failures;
    }
}

// Whether a and b agree, found without a branch on either; the verdict alone
// is made public, for the probe's own check.
bool same(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    unsigned difference = 0;
    for (std::size_t i = 0; i < n; ++i) difference |= static_cast<unsigned>(a[i] ^ b[i]);
    make_public(&difference, sizeof difference);
    return difference == 0;
}

void probe_hashing() {
    for (std::size_t length : {0, 5, 32, 70}) {
        char keyword[71];
        fill(reinterpret_cast<std::uint8_t*>(keyword), length, static_cast<unsigned>(length));
        for (std::size_t i = 0; i < length; ++i)
            keyword[i] = static_cast<char>(keyword[i] | 1); // no zero byte inside
        keyword[length] = '\0';
        secret(keyword, length);
        std::uint8_t hashed[32];
        hash_keyword(keyword, hashed);
    }
}

void probe_blocks(cipher_path path) {
    for (int key_bits : {128, 192, 256}) {
        for (int block_bits : {128, 192, 256}) {
            std::uint8_t key[32];
            fill(key, sizeof key, static_cast<unsigned>(key_bits + block_bits));
            secret(key, sizeof key);
            key_schedule schedule;
            schedule_key(key, key_bits, block_bits, &schedule);

            std::uint8_t block[32], copy[32];
            fill(block, sizeof block, 3);
            secret(block, sizeof block);
            std::memcpy(copy, block, sizeof copy);
            encrypt_block(block, &schedule);
            decrypt_block(block, &schedule);
            expect(same(block, copy, static_cast<std::size_t>(block_bits / 8)),
                   "decrypt_block(encrypt_block)", path);
        }
    }
    std::uint8_t key[32];
    fill(key, sizeof key, 9);
    secret(key, sizeof key);
    key_schedule schedule;
    schedule_key(key, 256, 256, &schedule);
    // Seven blocks: a pass of four, one of two and a single one.
    std::uint8_t in[7 * 32], out[7 * 32], feedback[32];
    fill(in, sizeof in, 5);
    fill(feedback, sizeof feedback, 6);
    secret(in, sizeof in);
    encrypt_blocks(in, out, 7, &schedule);
    cfb_encrypt_blocks(feedback, in, out, 7, &schedule);
}

// Encrypts `plain` under `keyword`; the ciphertext (header included) is public.
std::size_t encrypt(const char* keyword, const std::uint8_t* plain, std::size_t length,
                    std::uint8_t* out, cipher_path path) {
    cipher_stream stream;
    expect(encrypt_init(&stream, keyword) == 0, "encrypt_init", path);
    stream.in_ptr = plain;
    stream.in_left = static_cast<std::int32_t>(length);
    stream.out_ptr = out;
    stream.out_left = static_cast<std::int32_t>(length + 32);
    expect(encrypt_step(&stream) == 0 && stream.in_left == 0, "encrypt_step", path);
    expect(encrypt_end(&stream) == 0, "encrypt_end", path);
    make_public(out, length + 32);
    return length + 32;
}

// Decrypts in two pieces, the first ending inside a group, so that the
// header check, the byte path and the batched groups all run.
int decrypt(const char* keyword, const std::uint8_t* in, std::size_t length, std::uint8_t* out) {
    cipher_stream stream;
    if (decrypt_init(&stream, keyword, 0) != 0) return -1;
    const std::size_t first = 45;
    stream.in_ptr = in;
    stream.in_left = static_cast<std::int32_t>(first);
    stream.out_ptr = out;
    stream.out_left = static_cast<std::int32_t>(length);
    int result = decrypt_step(&stream);
    if (result == 0) {
        stream.in_left = static_cast<std::int32_t>(length - first);
        result = decrypt_step(&stream);
    }
    if (result != 0) return result;
    return decrypt_end(&stream);
}

void probe_streams(cipher_path path) {
    char keyword[] = "a keyword of some forty-odd bytes, to be hashed in two passes";
    char other[] = "not the keyword";
    const std::size_t keyword_length = std::strlen(keyword);
    secret(keyword, keyword_length);
    secret(other, std::strlen(other));

    // Decryption batches all but the first group of each piece (decrypt()).
    constexpr std::size_t length = 8 * 32 + 7;
    std::uint8_t plain[length];
    fill(plain, length, 11);
    secret(plain, length);

    std::uint8_t encrypted[length + 32];
    encrypt(keyword, plain, length, encrypted, path);

    std::uint8_t opened[length];
    expect(decrypt(keyword, encrypted, sizeof encrypted, opened) == 0,
           "decryption under the keyword", path);
    expect(same(opened, plain, length), "round trip", path);
    expect(decrypt(other, encrypted, sizeof encrypted, opened) == result_stream,
           "another keyword refused", path);

    // A key change to the other keyword, and back through decryption.
    cipher_stream change;
    std::uint8_t changed[length + 32];
    expect(keychange_init(&change, keyword, other) == 0, "keychange_init", path);
    change.in_ptr = encrypted;
    change.in_left = static_cast<std::int32_t>(sizeof encrypted);
    change.out_ptr = changed;
    change.out_left = static_cast<std::int32_t>(sizeof changed);
    expect(keychange_step(&change) == 0, "keychange_step", path);
    expect(keychange_end(&change) == 0, "keychange_end", path);
    make_public(changed, sizeof changed);
    expect(decrypt(other, changed, sizeof changed, opened) == 0, "decryption after the key change",
           path);
    expect(same(opened, plain, length), "round trip through the key change", path);
}

} // namespace

// A lookup at a secret index, and a branch on what it found.
int control() {
    static const std::uint8_t table[256] = {1, 2, 3};
    std::uint8_t index = 7;
    secret(&index, 1);
    volatile std::uint8_t found = table[index];
    if (found == 0) std::puts("constant_time_probe: control done");
    return 0;
}

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--control") == 0) return control();
    int paths = 0;
    for (cipher_path path : {cipher_path::portable, cipher_path::aesni}) {
        if (force_cipher_path(path) != 0) {
            std::printf("constant_time_probe: %s path not supported here; not probed\n",
                        cipher_path_name(path));
            continue;
        }
        probe_hashing();
        probe_blocks(path);
        probe_streams(path);
        std::printf("constant_time_probe: %s path probed\n", cipher_path_name(path));
        ++paths;
    }
    return failures == 0 && paths > 0 ? 0 : 1;
}
