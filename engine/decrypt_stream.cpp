// The decryption stream: collects the 32-byte header block, chooses the
// first candidate keyword under which it opens to "q7w3", then undoes the
// cipher feedback. Nothing is output before a key has been accepted, so a
// rejected stream has written nothing.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "base/base.h"
#include "crypt_state.h"
#include "engine/engine.h"

namespace {

// The index of the first candidate that opens the header block held in
// `block`, or -1. With `mismatch` set candidate 0 is taken unseen. The
// opened bytes are compared without a branch; only the verdict is public.
int choose_key(const crypt_state* state) {
    for (int index = 0; index < state->key_count; ++index) {
        if (state->mismatch) return index;
        std::uint8_t opened[32];
        std::memcpy(opened, state->block, 32);
        decrypt_block(opened, &state->keys[index]);
        unsigned difference = 0;
        for (std::size_t k = 0; k < sizeof header_magic; ++k)
            difference |= static_cast<unsigned>(opened[k] ^ header_magic[k]);
        wipe(opened, sizeof opened);
        declassify(&difference, sizeof difference);
        if (difference == 0) return index;
    }
    return -1;
}

// Key stream blocks computed per call of encrypt_blocks: enough to keep a
// hardware path's pipeline full, few enough for a small stack buffer.
constexpr std::int32_t batch_groups = 16;

// out = a ^ b over `length` bytes, a multiple of 8, eight bytes at a time;
// `out` may be `a` itself.
void xor_bytes(std::uint8_t* out, const std::uint8_t* a, const std::uint8_t* b,
               std::size_t length) {
    for (std::size_t i = 0; i < length; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        x ^= y;
        std::memcpy(out + i, &x, 8);
    }
}

// Whole groups: plaintext = E(previous ciphertext) ^ ciphertext, and the
// ciphertext becomes the next feedback register. Unlike encryption, every
// feedback block of the buffer is known in advance (the register, then each
// ciphertext group but the last), so the key stream of up to `batch_groups`
// groups is computed in one call that can keep several blocks in flight.
// The output equals the byte path. The last ciphertext group is saved as the
// next register before any output is written, so the output may be the
// input buffer itself.
void decrypt_groups(crypt_state* state, cipher_stream* stream) {
    const key_schedule* key = &state->keys[state->key_index];
    std::uint8_t key_stream[batch_groups * 32];
    while (stream->in_left >= 32 && stream->out_left >= 32) {
        std::int32_t groups = std::min(stream->in_left, stream->out_left) / 32;
        if (groups > batch_groups) groups = batch_groups;
        const auto length = static_cast<std::size_t>(groups) * 32;
        const std::uint8_t* in = stream->in_ptr;
        std::uint8_t* out = stream->out_ptr;

        std::memcpy(key_stream, state->block, 32);
        std::memcpy(key_stream + 32, in, length - 32);
        std::memcpy(state->block, in + length - 32, 32);
        encrypt_blocks(key_stream, key_stream, static_cast<std::size_t>(groups), key);
        xor_bytes(out, in, key_stream, length);

        stream->in_ptr += length;
        stream->in_left -= static_cast<std::int32_t>(length);
        stream->out_ptr += length;
        stream->out_left -= static_cast<std::int32_t>(length);
    }
}

} // namespace

int decrypt_multi_init(cipher_stream* stream, int count, const char* const* candidates,
                       int mismatch, const key_schedule* ready) {
    stream->state = nullptr;
    crypt_state* state = new_crypt_state(count);
    if (state == nullptr) return result_system;
    state->key_index = 0;
    for (int index = 0; index < count; ++index)
        take_schedule(ready ? nullptr : candidates[index], ready ? &ready[index] : nullptr,
                      &state->keys[index]);
    state->header_pending = 1;
    state->pos = 0;
    state->mismatch = mismatch;
    stream->state = state;
    return result_ok;
}

int decrypt_init(cipher_stream* stream, const char* keyword, int mismatch) {
    return decrypt_init_from(stream, keyword, mismatch, nullptr);
}

int decrypt_init_from(cipher_stream* stream, const char* keyword, int mismatch,
                      const key_schedule* ready) {
    if (ready) return decrypt_multi_init(stream, 2, nullptr, mismatch, ready);
    // A keyword typed on a system that ends lines with CR LF may carry the
    // CR into the file's key; the plain keyword is tried first.
    char* with_cr = keyword_with_cr(keyword);
    if (with_cr == nullptr) {
        stream->state = nullptr;
        return result_system;
    }
    const char* const candidates[2] = {keyword, with_cr};
    const int result = decrypt_multi_init(stream, 2, candidates, mismatch);
    free_keyword(with_cr); // free keeps errno, which may hold the result's detail
    return result;
}

int decrypt_step(cipher_stream* stream) {
    auto* state = static_cast<crypt_state*>(stream->state);

    if (state->header_pending) {
        while (state->pos < 32) {
            if (stream->in_left == 0) return result_ok;
            state->block[state->pos++] = *stream->in_ptr++;
            --stream->in_left;
        }
        state->header_pending = 0;
        const int chosen = choose_key(state);
        if (chosen < 0) {
            release_crypt_state(state);
            stream->state = nullptr;
            stream->fault = fault_key_mismatch;
            return result_stream;
        }
        // `block` keeps the header block as read: the first feedback register.
        state->key_index = chosen;
    }

    run_feedback(state, stream, true, decrypt_groups);
    return result_ok;
}

int decrypt_end(cipher_stream* stream) {
    auto* state = static_cast<crypt_state*>(stream->state);
    const bool complete = state == nullptr || !state->header_pending;
    release_crypt_state(state);
    stream->state = nullptr;
    if (complete) return result_ok;
    stream->fault = fault_bad_format;
    return result_stream;
}
