// The rotor machine of the traditional Unix crypt(1) command.
//
// The seed generator is defined on a signed 32-bit integer that wraps around
// modulo 2^32. It is computed here in uint32_t, where wrap-around is defined,
// and converted to int32_t (a modular conversion since C++20) only where its
// sign matters: the truncating remainder by 65521.

#include "legacy/unixcrypt.h"

#include "base/base.h"

#include <crypt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

constexpr char salt_alphabet[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

// Maps any keyword byte, taken as a signed 8-bit value, to a character of the
// crypt(3) salt alphabet; alphabet characters map to themselves.
char salt_char(std::uint8_t byte) {
    const int ch = static_cast<std::int8_t>(byte);
    int value;
    if (ch > 'Z')
        value = (ch - 59) & 0x3F;
    else if (ch >= ':')
        value = ch - 53;
    else
        value = (ch - 46) & 0x3F; // bytes 0x80..0xFF arrive here as negatives
    return salt_alphabet[value];
}

// The keyword's own bytes as seed-generator terms.
std::uint32_t signed_term(std::uint8_t byte) {
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(byte)));
}

// Fills `seed_text` with the 13 bytes that key the machine: the DES hash of
// the first 8 keyword bytes under the mapped salt, its salt replaced by the
// keyword's own first two bytes, cut at the first zero byte. False when
// crypt(3) fails.
//
// libxcrypt reports failure either with a null result or with a token that
// begins with "*" (and whose length is not 13). Both are treated alike, as a
// failure of the init: a keyword then deterministically yields no machine,
// rather than a machine keyed by the token. With the salt always taken from
// the alphabet the DES scheme accepts every key text, including bytes of
// 0x80 and above (DES uses only their low seven bits), so in practice the
// token does not occur; the check guards against a libcrypt built without
// the traditional scheme.
bool make_seed_text(const std::uint8_t k[8], std::uint8_t seed_text[13]) {
    char key_text[9];
    std::memcpy(key_text, k, 8);
    key_text[8] = '\0';
    const char salt[3] = {salt_char(k[0]), salt_char(k[1]), '\0'};

    errno = 0;
    const char* hash = crypt(key_text, salt);
    if (hash == nullptr || hash[0] == '*' || std::strlen(hash) != 13) {
        if (errno == 0) errno = EINVAL;
        wipe(key_text, sizeof key_text);
        return false;
    }
    std::memcpy(seed_text, hash, 13);
    wipe(key_text, sizeof key_text);
    seed_text[0] = k[0];
    seed_text[1] = k[1];
    const void* zero = std::memchr(seed_text, 0, 13);
    if (zero != nullptr) {
        const auto from =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - seed_text);
        std::memset(seed_text + from, 0, 13 - from);
    }
    return true;
}

void build_machine(const std::uint8_t seed_text[13], rotor_state* machine) {
    std::uint32_t seed = 123;
    for (std::uint32_t i = 0; i < 13; ++i) seed = seed * signed_term(seed_text[i]) + i;

    for (int x = 0; x < 256; ++x) {
        machine->rotor[x] = static_cast<std::uint8_t>(x);
        machine->reflector[x] = 0; // 0 marks a free slot while pairing
    }
    for (int i = 0; i < 256; ++i) {
        const int k = 255 - i;
        seed = 5 * seed + signed_term(seed_text[i % 13]);
        // The remainder truncates towards zero, so its sign follows the seed's;
        // only its two's complement bit pattern is used below.
        const auto r = static_cast<std::uint32_t>(static_cast<std::int32_t>(seed) % 65521);

        int j = static_cast<int>(r & 0xFF) % (k + 1);
        std::swap(machine->rotor[k], machine->rotor[j]);

        if (machine->reflector[k] != 0) continue;
        // Here k >= 1 and a free slot below k always exists: the free slots
        // among 0..k are an even number, and k's own is one of them.
        j = static_cast<int>((r >> 8) & 0xFF) % k;
        while (machine->reflector[j] != 0) j = (j + 1) % k;
        machine->reflector[k] = static_cast<std::uint8_t>(j);
        machine->reflector[j] = static_cast<std::uint8_t>(k);
    }
    for (int x = 0; x < 256; ++x)
        machine->rotor_inverse[machine->rotor[x]] = static_cast<std::uint8_t>(x);
    machine->fast_offset = 0;
    machine->slow_offset = 0;
}

} // namespace

int unixcrypt_init(cipher_stream* stream, const char* keyword) {
    stream->state = nullptr;
    auto* machine = static_cast<rotor_state*>(std::malloc(sizeof(rotor_state)));
    if (machine == nullptr) return result_system;

    std::uint8_t k[8] = {};
    const std::size_t length = strnlen(keyword, 8);
    std::memcpy(k, keyword, length);

    std::uint8_t seed_text[13];
    if (!make_seed_text(k, seed_text)) {
        // Neither wiping nor free changes errno, which holds crypt's failure.
        wipe(k, sizeof k);
        std::free(machine);
        return result_system;
    }
    build_machine(seed_text, machine);
    wipe(k, sizeof k);
    wipe(seed_text, sizeof seed_text);
    stream->state = machine;
    return result_ok;
}

int unixcrypt_step(cipher_stream* stream) {
    auto* machine = static_cast<rotor_state*>(stream->state);
    std::int32_t count = stream->in_left < stream->out_left ? stream->in_left : stream->out_left;
    const std::uint8_t* in = stream->in_ptr;
    std::uint8_t* out = stream->out_ptr;
    unsigned fast = static_cast<unsigned>(machine->fast_offset);
    unsigned slow = static_cast<unsigned>(machine->slow_offset);

    for (std::int32_t n = 0; n < count; ++n) {
        const std::uint8_t a = machine->rotor[(in[n] + fast) & 0xFF];
        const std::uint8_t b =
            static_cast<std::uint8_t>(machine->reflector[(a + slow) & 0xFF] - slow);
        out[n] = static_cast<std::uint8_t>(machine->rotor_inverse[b] - fast);
        if (++fast == 256) {
            fast = 0;
            slow = (slow + 1) & 0xFF;
        }
    }

    machine->fast_offset = static_cast<std::int32_t>(fast);
    machine->slow_offset = static_cast<std::int32_t>(slow);
    stream->in_ptr += count;
    stream->in_left -= count;
    stream->out_ptr += count;
    stream->out_left -= count;
    return result_ok;
}

int unixcrypt_end(cipher_stream* stream) {
    wipe_and_free(stream->state, sizeof(rotor_state));
    stream->state = nullptr;
    return result_ok;
}
