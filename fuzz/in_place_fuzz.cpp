// pump_fd_in_place over a temporary file (an anonymous memory-backed file),
// with every stream kind, file lengths around the driver's 10240-byte
// buffers and the 32-byte header, and right and wrong keys.
//
// Properties:
//   - the file ends up holding exactly what the same stream produces in
//     memory in one shot (encryption with a repeatable nonce), truncated
//     after it, with the offset at its end;
//   - encryption grows the file by 32 bytes, decryption shrinks it by 32,
//     key change and the legacy stream keep its length;
//   - a rejected stream (wrong key, file shorter than a header) returns -2
//     with its fault and leaves the file byte for byte as it was.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>

#include "engine/engine.h"
#include "engine/testing.h"
#include "legacy/unixcrypt.h"
#include "split_driver.h"

using fuzz::bytes;

namespace {

int file = -1;

void put_file(const bytes& content) {
    FUZZ_CHECK(ftruncate(file, 0) == 0);
    FUZZ_CHECK(pwrite(file, content.data(), content.size(), 0) == ssize_t(content.size()));
    FUZZ_CHECK(lseek(file, 0, SEEK_SET) == 0);
}

bytes get_file() {
    const off_t size = lseek(file, 0, SEEK_END);
    bytes content(static_cast<std::size_t>(size));
    FUZZ_CHECK(pread(file, content.data(), content.size(), 0) == size);
    return content;
}

bytes make_content(FuzzedDataProvider& in) {
    static constexpr std::size_t bases[] = {0, 32, 992, 10240, 20480, 30720};
    const std::size_t base = bases[in.ConsumeIntegralInRange<std::size_t>(0, 5)];
    const int delta = in.ConsumeIntegralInRange(-40, 40);
    const std::size_t length = std::size_t(std::max<long>(0, long(base) + delta));
    std::mt19937 random(in.ConsumeIntegral<std::uint32_t>());
    bytes content(length);
    for (auto& b : content) b = std::uint8_t(random());
    return content;
}

std::string keyword, other;

enum op {
    op_encrypt,
    op_decrypt,
    op_decrypt_wrong,
    op_keychange,
    op_keychange_wrong,
    op_legacy,
    op_raw_decrypt,
    op_count
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::use_fixed_nonces();
    file = memfd_create("ostrel-in-place", 0);
    return file < 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int operation = in.ConsumeIntegralInRange(0, op_count - 1);
    const auto cut = in.ConsumeIntegral<std::uint16_t>();
    keyword = in.ConsumeRandomLengthString(64).c_str();
    other = in.ConsumeRandomLengthString(64).c_str();
    const bytes plain = make_content(in);

    auto in_memory = [](int (*init)(cipher_stream&), stream_step_fn step, stream_end_fn end,
                        const bytes& input) {
        cipher_stream s{};
        FUZZ_CHECK(init(s) == 0);
        return fuzz::run_split(s, step, end, input, fuzz::split_plan::one_shot(input.size()));
    };
    static int in_place_fault = 0;
    auto in_place = [](int (*init)(cipher_stream&), stream_step_fn step, stream_end_fn end,
                       std::int32_t growth) {
        cipher_stream s{};
        FUZZ_CHECK(init(s) == 0);
        const stream_result result = pump_fd_in_place({&s, step, end}, {file, growth});
        in_place_fault = result.detail;
        return result.code;
    };
    static auto enc = [](cipher_stream& s) { return encrypt_init(&s, keyword.c_str()); };
    static auto dec = [](cipher_stream& s) { return decrypt_init(&s, keyword.c_str(), 0); };
    static auto dec_other = [](cipher_stream& s) { return decrypt_init(&s, other.c_str(), 0); };
    static auto rekey = [](cipher_stream& s) {
        return keychange_init(&s, keyword.c_str(), other.c_str());
    };
    static auto rekey_wrong = [](cipher_stream& s) {
        return keychange_init(&s, other.c_str(), other.c_str());
    };
    static auto legacy = [](cipher_stream& s) { return unixcrypt_init(&s, keyword.c_str()); };

    // Data under `keyword` opens with `other` when they are equal or when
    // `keyword` is `other` followed by a carriage return (decryption also
    // tries that form); otherwise `other` is a wrong key.
    const bool distinct = keyword != other && keyword != other + "\r";
    bytes before;
    int result = 0;
    fuzz::run_result expected;

    switch (operation) {
    case op_encrypt:
    case op_legacy: {
        bool legacy_op = operation == op_legacy;
        before = plain;
        put_file(before);
        fuzz::set_next_nonce(7);
        result = in_place(legacy_op ? +legacy : +enc, legacy_op ? unixcrypt_step : encrypt_step,
                          legacy_op ? unixcrypt_end : encrypt_end, legacy_op ? 0 : 32);
        fuzz::set_next_nonce(7);
        expected = in_memory(legacy_op ? +legacy : +enc, legacy_op ? unixcrypt_step : encrypt_step,
                             legacy_op ? unixcrypt_end : encrypt_end, before);
        FUZZ_CHECK(expected.out.size() == before.size() + (legacy_op ? 0 : 32));
        break;
    }
    default: {
        // Decryption and key change read what an encryption wrote (cut
        // short sometimes), or arbitrary bytes.
        if (operation == op_raw_decrypt) {
            before = plain;
        } else {
            fuzz::set_next_nonce(7);
            before = in_memory(+enc, encrypt_step, encrypt_end, plain).out;
            if (cut < before.size() && (cut & 1)) before.resize(cut);
        }
        put_file(before);
        bool rekeying = operation == op_keychange || operation == op_keychange_wrong;
        int (*init)(cipher_stream&) = operation == op_decrypt_wrong     ? +dec_other
                                      : operation == op_keychange       ? +rekey
                                      : operation == op_keychange_wrong ? +rekey_wrong
                                                                        : +dec;
        stream_step_fn step = rekeying ? keychange_step : decrypt_step;
        stream_end_fn end = rekeying ? keychange_end : decrypt_end;
        fuzz::set_next_nonce(9);
        result = in_place(init, step, end, 0);
        fuzz::set_next_nonce(9);
        expected = in_memory(init, step, end, before);
        if (before.size() >= 32 && operation != op_raw_decrypt) {
            bool wrong =
                (operation == op_decrypt_wrong || operation == op_keychange_wrong) && distinct;
            FUZZ_CHECK(wrong ? expected.result == result_stream : expected.result == 0);
        }
    }
    }

    const bytes after = get_file();
    FUZZ_CHECK(result == expected.result);
    if (result != 0) {
        FUZZ_CHECK(result == result_stream && in_place_fault == expected.fault);
        FUZZ_CHECK(after == before);
        return 0;
    }
    FUZZ_CHECK(after == expected.out);
    FUZZ_CHECK(lseek(file, 0, SEEK_CUR) == off_t(after.size()));
    return 0;
}
