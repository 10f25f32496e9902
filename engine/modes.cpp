// The stream kinds, and the two ways of running one: FILE stream to FILE
// stream, and a file in place.

#include "engine/engine.h"
#include "legacy/unixcrypt.h"
#include "stepping.h"

namespace {

const key_schedule* first_ready(const stream_keys& keys) {
    return keys.prepared && keys.prepared->has_first ? keys.prepared->first : nullptr;
}
const key_schedule* second_ready(const stream_keys& keys) {
    return keys.prepared && keys.prepared->has_second ? &keys.prepared->second : nullptr;
}

int init_encrypt(cipher_stream* stream, const stream_keys& keys) {
    return encrypt_init_from(stream, keys.keyword, first_ready(keys));
}
int init_decrypt(cipher_stream* stream, const stream_keys& keys) {
    return decrypt_init_from(stream, keys.keyword, keys.mismatch, first_ready(keys));
}
int init_keychange(cipher_stream* stream, const stream_keys& keys) {
    return keychange_init_from(stream, keys.keyword, keys.keyword2, first_ready(keys),
                               second_ready(keys));
}
int init_unixcrypt(cipher_stream* stream, const stream_keys& keys) {
    return unixcrypt_init(stream, keys.keyword);
}

} // namespace

// The header block is all an encryption adds. A decryption turns each byte
// as it reads it and writes nothing for the header; a key change may hold
// back decrypted bytes from one step to the next.
const stream_kind encrypt_kind{init_encrypt, encrypt_step, encrypt_end, 32, false};
const stream_kind decrypt_kind{init_decrypt, decrypt_step, decrypt_end, 0, true};
const stream_kind keychange_kind{init_keychange, keychange_step, keychange_end, 0, false};
const stream_kind unixcrypt_kind{init_unixcrypt, unixcrypt_step, unixcrypt_end, 0, false};

stream_result run_stream(const stream_kind& kind, const stream_keys& keys, std::FILE* in,
                         std::FILE* out, const progress_sink* progress) {
    cipher_stream stream;
    const int result = kind.init(&stream, keys);
    if (result != result_ok) return outcome_of(stream, result);
    return pump_file({&stream, kind.step, kind.end, progress}, {in, out, kind.writes_over_input});
}

stream_result run_stream_in_place(const stream_kind& kind, const stream_keys& keys, int fd,
                                  const progress_sink* progress) {
    const stream_keys checked{keys.keyword, keys.keyword2, 0, keys.prepared};
    cipher_stream stream;
    const int result = kind.init(&stream, checked);
    if (result != result_ok) return outcome_of(stream, result);
    return pump_fd_in_place({&stream, kind.step, kind.end, progress},
                            {fd, kind.growth, kind.writes_over_input});
}
