// The encryption stream: the header block first, then the body in cipher
// feedback with full 32-byte feedback. The header block doubles as the first
// feedback register, so after the header `block` simply keeps running.

#include <algorithm>
#include <cstring>

#include "base/base.h"
#include "crypt_state.h"
#include "engine/engine.h"

namespace {

// Whole groups: block = E(block) ^ plaintext, and block is the ciphertext.
// Equal to 32 passes through the byte path per group. The chain runs inside
// the cipher, which keeps the feedback in CPU registers from group to group;
// the stream's buffers never overlap its state, as cfb_encrypt_blocks needs.
void encrypt_groups(crypt_state* state, cipher_stream* stream) {
    const std::int32_t length = std::min(stream->in_left, stream->out_left) / 32 * 32;
    cfb_encrypt_blocks(state->block, stream->in_ptr, stream->out_ptr,
                       static_cast<std::size_t>(length / 32), &state->keys[state->key_index]);
    stream->in_ptr += length;
    stream->in_left -= length;
    stream->out_ptr += length;
    stream->out_left -= length;
}

} // namespace

int encrypt_init(cipher_stream* stream, const char* keyword) {
    return encrypt_init_from(stream, keyword, nullptr);
}

int encrypt_init_from(cipher_stream* stream, const char* keyword, const key_schedule* ready) {
    stream->state = nullptr;
    crypt_state* state = new_crypt_state(1);
    if (state == nullptr) return result_system;
    state->key_index = 0;

    take_schedule(keyword, ready, &state->keys[0]);

    fill_nonce(state->block);
    std::memcpy(state->block, header_magic, sizeof header_magic);
    encrypt_block(state->block, &state->keys[0]);

    state->header_pending = 1;
    state->pos = 0;
    state->mismatch = 0;
    stream->state = state;
    return result_ok;
}

int encrypt_step(cipher_stream* stream) {
    auto* state = static_cast<crypt_state*>(stream->state);

    // The header leaves before any input is taken, whatever the input.
    while (state->header_pending) {
        if (stream->out_left == 0) return result_ok;
        *stream->out_ptr++ = state->block[state->pos++];
        --stream->out_left;
        if (state->pos == 32) state->header_pending = 0;
    }

    run_feedback(state, stream, false, encrypt_groups);
    return result_ok;
}

int encrypt_end(cipher_stream* stream) {
    release_crypt_state(static_cast<crypt_state*>(stream->state));
    stream->state = nullptr;
    return result_ok;
}
