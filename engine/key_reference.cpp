// Whether a keyword opens a given encrypted file: a decryption stream that
// is fed the header block and nothing else.

#include <cerrno>

#include "engine/engine.h"
#include "stepping.h"

stream_result check_key_reference(std::FILE* in, const char* keyword) {
    std::clearerr(in);
    cipher_stream stream;
    const int result = decrypt_init(&stream, keyword, 0);
    if (result != result_ok) return outcome_of(stream, result);

    std::uint8_t header[32];
    const std::size_t n = std::fread(header, 1, sizeof header, in);
    if (std::ferror(in)) {
        const stream_result failed = io_failure(errno);
        decrypt_end(&stream);
        return failed;
    }

    std::uint8_t unused[32];
    stream.in_ptr = header;
    stream.in_left = static_cast<std::int32_t>(n);
    stream.out_ptr = unused;
    stream.out_left = sizeof unused;
    const int step_result = decrypt_step(&stream);
    if (step_result != result_ok) return outcome_of(stream, step_result);
    return outcome_of(stream, decrypt_end(&stream));
}
