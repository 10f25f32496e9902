// The per-mode operations: each binds one stream kind to one driver.

#include "engine/engine.h"
#include "legacy/unixcrypt.h"

namespace {

// The most an encryption's output exceeds its input: the header block.
constexpr std::int32_t header_size = 32;

} // namespace

int encrypt_file(std::FILE* in, std::FILE* out, const char* keyword)
{
    cipher_stream stream;
    const int result = encrypt_init(&stream, keyword);
    if (result != 0)
        return result;
    return pump_file(&stream, encrypt_step, encrypt_end, in, out);
}

int decrypt_file(std::FILE* in, std::FILE* out, const char* keyword, int mismatch)
{
    cipher_stream stream;
    const int result = decrypt_init(&stream, keyword, mismatch);
    if (result != 0)
        return result;
    return pump_file(&stream, decrypt_step, decrypt_end, in, out);
}

int keychange_file(std::FILE* in, std::FILE* out, const char* old_keyword, const char* new_keyword)
{
    cipher_stream stream;
    const int result = keychange_init(&stream, old_keyword, new_keyword);
    if (result != 0)
        return result;
    return pump_file(&stream, keychange_step, keychange_end, in, out);
}

int unixcrypt_file(std::FILE* in, std::FILE* out, const char* keyword)
{
    cipher_stream stream;
    const int result = unixcrypt_init(&stream, keyword);
    if (result != 0)
        return result;
    return pump_file(&stream, unixcrypt_step, unixcrypt_end, in, out);
}

int encrypt_in_place(int fd, const char* keyword)
{
    cipher_stream stream;
    const int result = encrypt_init(&stream, keyword);
    if (result != 0)
        return result;
    return pump_fd_in_place(&stream, encrypt_step, encrypt_end, fd, header_size);
}

// Never honours the mismatch flag: a file is overwritten only under a key
// that matched its header.
int decrypt_in_place(int fd, const char* keyword)
{
    cipher_stream stream;
    const int result = decrypt_init(&stream, keyword, 0);
    if (result != 0)
        return result;
    return pump_fd_in_place(&stream, decrypt_step, decrypt_end, fd);
}

int keychange_in_place(int fd, const char* old_keyword, const char* new_keyword)
{
    cipher_stream stream;
    const int result = keychange_init(&stream, old_keyword, new_keyword);
    if (result != 0)
        return result;
    return pump_fd_in_place(&stream, keychange_step, keychange_end, fd);
}
