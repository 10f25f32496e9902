// Whether a keyword opens a given encrypted file: a decryption stream that
// is fed the header block and nothing else.

#include "engine/engine.h"
#include "engine/saved_error.h"

namespace {

int open_header(std::FILE* in, const char* keyword)
{
    std::clearerr(in);
    cipher_stream stream;
    const int result = decrypt_init(&stream, keyword, 0);
    if (result != result_ok)
        return result;

    std::uint8_t header[32];
    const std::size_t n = std::fread(header, 1, sizeof header, in);
    if (std::ferror(in)) {
        const saved_error keep;
        decrypt_end(&stream);
        return result_io;
    }

    std::uint8_t unused[32];
    stream.in_ptr = header;
    stream.in_left = static_cast<std::int32_t>(n);
    stream.out_ptr = unused;
    stream.out_left = sizeof unused;
    const int step_result = decrypt_step(&stream);
    if (step_result != result_ok)
        return step_result;
    return decrypt_end(&stream);
}

} // namespace

stream_result check_key_reference(std::FILE* in, const char* keyword)
{
    return result_of(open_header(in, keyword));
}
