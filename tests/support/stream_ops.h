// The stream kinds through the two drivers by name, for tests, benchmarks
// and fuzz targets: each returns the result code, leaves the fault of a
// result_stream in last_fault_for_testing and the errno of a result_io or
// result_system in errno.
#pragma once

#include <cerrno>
#include <cstdio>

#include "engine/engine.h"

// The fault of the last result_stream a helper below (or a test) met; 0
// after any other result. Tests only.
inline int last_fault_for_testing = 0;
inline int code_of(stream_result r) {
    last_fault_for_testing = r.code == result_stream ? r.detail : 0;
    if (r.code == result_io || r.code == result_system) errno = r.detail;
    return r.code;
}

// Each stream kind through each driver, by name.
inline int encrypt_file(std::FILE* in, std::FILE* out, const char* keyword) {
    return code_of(run_stream(encrypt_kind, {keyword, nullptr, 0}, in, out));
}
inline int decrypt_file(std::FILE* in, std::FILE* out, const char* keyword, int mismatch) {
    return code_of(run_stream(decrypt_kind, {keyword, nullptr, mismatch}, in, out));
}
inline int keychange_file(std::FILE* in, std::FILE* out, const char* old_keyword,
                          const char* new_keyword) {
    return code_of(run_stream(keychange_kind, {old_keyword, new_keyword, 0}, in, out));
}
inline int unixcrypt_file(std::FILE* in, std::FILE* out, const char* keyword) {
    return code_of(run_stream(unixcrypt_kind, {keyword, nullptr, 0}, in, out));
}
inline int encrypt_in_place(int fd, const char* keyword) {
    return code_of(run_stream_in_place(encrypt_kind, {keyword, nullptr, 0}, fd));
}
inline int decrypt_in_place(int fd, const char* keyword) {
    return code_of(run_stream_in_place(decrypt_kind, {keyword, nullptr, 0}, fd));
}
inline int keychange_in_place(int fd, const char* old_keyword, const char* new_keyword) {
    return code_of(run_stream_in_place(keychange_kind, {old_keyword, new_keyword, 0}, fd));
}
