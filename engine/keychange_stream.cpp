// The key-change stream: a decryption under the old keyword feeds an
// encryption under the new one through a 1024-byte buffer. The new header
// leaves only once the 32 bytes of the old header have been consumed and
// accepted, so a wrong old keyword or a short input produces no output.

#include <cstdlib>

#include "base/base.h"
#include "engine/engine.h"

namespace {

// Ends both inner streams and frees the record. The outer stream's fault
// stays, and so does errno: the inner ends only free memory.
void release_keychange(cipher_stream* stream) {
    auto* state = static_cast<keychange_state*>(stream->state);
    decrypt_end(&state->dec);
    encrypt_end(&state->enc);
    wipe_and_free(state, sizeof(keychange_state));
    stream->state = nullptr;
}

} // namespace

int keychange_init(cipher_stream* stream, const char* old_keyword, const char* new_keyword) {
    return keychange_init_from(stream, old_keyword, new_keyword, nullptr, nullptr);
}

int keychange_init_from(cipher_stream* stream, const char* old_keyword, const char* new_keyword,
                        const key_schedule* old_ready, const key_schedule* new_ready) {
    auto* state = static_cast<keychange_state*>(std::malloc(sizeof(keychange_state)));
    if (state == nullptr) {
        stream->state = nullptr;
        return result_system;
    }
    stream->state = state;
    state->dec.state = nullptr;
    state->enc.state = nullptr;

    int result = decrypt_init_from(&state->dec, old_keyword, 0, old_ready);
    if (result == result_ok) result = encrypt_init_from(&state->enc, new_keyword, new_ready);
    if (result != result_ok) {
        release_keychange(stream);
        return result;
    }
    state->enc.in_ptr = state->buffer;
    state->enc.in_left = 0;
    state->hold = 32;
    return result_ok;
}

int keychange_step(cipher_stream* stream) {
    auto* state = static_cast<keychange_state*>(stream->state);
    for (;;) {
        if (stream->out_left != 0 && state->hold == 0) {
            state->enc.out_ptr = stream->out_ptr;
            state->enc.out_left = stream->out_left;
            encrypt_step(&state->enc);
            stream->out_ptr = state->enc.out_ptr;
            stream->out_left = state->enc.out_left;
        }
        // Decrypted bytes still waiting: the outer output is full (or the
        // old header is not complete yet, when there are none).
        if (state->enc.in_left != 0) return result_ok;
        if (stream->in_left == 0) return result_ok;

        state->dec.in_ptr = stream->in_ptr;
        state->dec.in_left = stream->in_left;
        state->dec.out_ptr = state->buffer;
        state->dec.out_left = sizeof state->buffer;
        const int result = decrypt_step(&state->dec);
        if (result != result_ok) {
            stream->fault = state->dec.fault;
            release_keychange(stream);
            return result;
        }
        if (state->hold != 0) {
            const std::int32_t consumed = stream->in_left - state->dec.in_left;
            state->hold = consumed < state->hold ? state->hold - consumed : 0;
        }
        stream->in_ptr = state->dec.in_ptr;
        stream->in_left = state->dec.in_left;
        state->enc.in_ptr = state->buffer;
        state->enc.in_left = static_cast<std::int32_t>(sizeof state->buffer) - state->dec.out_left;
    }
}

int keychange_end(cipher_stream* stream) {
    auto* state = static_cast<keychange_state*>(stream->state);
    if (state == nullptr) return result_ok;
    const int result = decrypt_end(&state->dec);
    if (result != result_ok) {
        stream->fault = state->dec.fault;
        release_keychange(stream);
        return result;
    }
    encrypt_end(&state->enc);
    wipe_and_free(state, sizeof(keychange_state));
    stream->state = nullptr;
    return result_ok;
}
