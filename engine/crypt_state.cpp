#include "crypt_state.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/base.h"

namespace {

// The schedules' block of a thread's last stream, wiped, kept for its next
// one: it stays where it was locked, so that file after file locks nothing
// anew. (Blocks that came back to new places made every few files one more
// mlock, each splitting the heap's mapping, once threads allocated side by
// side.)
struct kept_schedules {
    key_schedule* keys = nullptr;
    std::size_t slots = 0;
    kept_schedules() = default;
    kept_schedules(const kept_schedules&) = delete;
    kept_schedules& operator=(const kept_schedules&) = delete;
    ~kept_schedules() { std::free(keys); }
};
thread_local kept_schedules kept;

std::size_t slots_of(int key_count) {
    // A zero-candidate decryption still gets a (one-slot) array, so a null
    // `keys` never means "allocated nothing".
    return key_count > 0 ? static_cast<std::size_t>(key_count) : 1;
}

} // namespace

crypt_state* new_crypt_state(int key_count) {
    auto* state = static_cast<crypt_state*>(std::calloc(1, sizeof(crypt_state)));
    if (state == nullptr) return nullptr;
    const std::size_t slots = slots_of(key_count);
    if (kept.keys != nullptr && kept.slots >= slots) {
        state->keys = kept.keys;
        kept.keys = nullptr;
    } else {
        state->keys = static_cast<key_schedule*>(std::malloc(slots * sizeof(key_schedule)));
        if (state->keys == nullptr) {
            std::free(state); // keeps malloc's errno, the caller's detail
            return nullptr;
        }
    }
    lock_memory(state->keys, slots * sizeof(key_schedule));
    state->key_count = key_count;
    return state;
}

void release_crypt_state(crypt_state* state) {
    if (state == nullptr) return;
    const std::size_t slots = slots_of(state->key_count);
    if (kept.keys == nullptr) {
        explicit_bzero(state->keys, slots * sizeof(key_schedule));
        kept.keys = state->keys;
        kept.slots = slots;
    } else {
        wipe_and_free(state->keys, slots * sizeof(key_schedule));
    }
    wipe_and_free(state, sizeof(crypt_state));
}

void schedule_keyword(const char* keyword, key_schedule* schedule) {
    std::uint8_t key[32];
    lock_memory(key, sizeof key);
    hash_keyword(keyword, key);
    schedule_key(key, 256, 256, schedule);
    wipe(key, sizeof key);
}

char* keyword_with_cr(const char* keyword) {
    const std::size_t length = keyword_length(keyword);
    char* with_cr = static_cast<char*>(std::malloc(length + 2));
    if (with_cr == nullptr) return nullptr;
    std::memcpy(with_cr, keyword, length);
    with_cr[length] = '\r';
    with_cr[length + 1] = '\0';
    return with_cr;
}

void take_schedule(const char* keyword, const key_schedule* ready, key_schedule* schedule) {
    if (ready)
        std::memcpy(schedule, ready, sizeof *schedule);
    else
        schedule_keyword(keyword, schedule);
}

prepared_keys* prepare_keys(const char* keyword, const char* keyword2) {
    auto* keys = static_cast<prepared_keys*>(std::calloc(1, sizeof(prepared_keys)));
    if (keys == nullptr) return nullptr;
    lock_memory(keys, sizeof *keys);
    if (keyword) {
        // The candidates of a decryption, as decrypt_init tries them.
        char* with_cr = keyword_with_cr(keyword);
        if (with_cr == nullptr) {
            wipe_and_free(keys, sizeof *keys);
            return nullptr;
        }
        schedule_keyword(keyword, &keys->first[0]);
        schedule_keyword(with_cr, &keys->first[1]);
        free_keyword(with_cr);
        keys->has_first = true;
    }
    if (keyword2) {
        schedule_keyword(keyword2, &keys->second);
        keys->has_second = true;
    }
    return keys;
}

void release_prepared_keys(prepared_keys* keys) {
    if (keys) wipe_and_free(keys, sizeof *keys);
}

void run_feedback(crypt_state* state, cipher_stream* stream, bool decrypting,
                  void (*groups)(crypt_state*, cipher_stream*)) {
    while (stream->in_left > 0 && stream->out_left > 0) {
        if (state->pos == 32) {
            if (stream->in_left >= 32 && stream->out_left >= 32) {
                groups(state, stream);
                continue;
            }
            encrypt_block(state->block, &state->keys[state->key_index]);
            state->pos = 0;
        }
        const std::uint8_t in = *stream->in_ptr++;
        const std::uint8_t out = state->block[state->pos] ^ in;
        state->block[state->pos++] = decrypting ? in : out;
        *stream->out_ptr++ = out;
        --stream->in_left;
        --stream->out_left;
    }
}
