// Whether a keyword opens a given encrypted file: a decryption stream that
// is fed the header block and nothing else.

#include "engine/engine.h"
#include "engine/saved_error.h"

namespace {

int open_header(cipher_stream& stream, std::FILE* in, const char* keyword) {
    std::clearerr(in);
    const int result = decrypt_init(&stream, keyword, 0);
    if (result != result_ok) return result;

    std::uint8_t header[32];
    const std::size_t n = std::fread(header, 1, sizeof header, in);
    if (std::ferror(in)) {
        const saved_error keep(&stream);
        decrypt_end(&stream);
        return result_io;
    }

    std::uint8_t unused[32];
    stream.in_ptr = header;
    stream.in_left = static_cast<std::int32_t>(n);
    stream.out_ptr = unused;
    stream.out_left = sizeof unused;
    const int step_result = decrypt_step(&stream);
    if (step_result != result_ok) return step_result;
    return decrypt_end(&stream);
}

} // namespace

stream_result check_key_reference(std::FILE* in, const char* keyword) {
    cipher_stream stream;
    const int code = open_header(stream, in, keyword);
    return result_of(stream, code);
}
