// The key-change stream: data encrypted under an old keyword is re-keyed
// under a new one, with random splits of input and output space.
//
// Properties:
//   - a split run gives exactly the one-shot run's result and output (the
//     new header's nonce is made repeatable for the comparison);
//   - the output is exactly as long as the input, and nothing leaves before
//     the old header has been read and accepted;
//   - the new header differs from the old one, and the output decrypts under
//     the new keyword to the plaintext, as far as the input went;
//   - a wrong old keyword, or an input shorter than a header, gives no output
//     at all ("key does not match" at the 32nd byte, "bad file format" at end).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "split_driver.h"

using fuzz::bytes;

namespace {

fuzz::run_result one_shot(int (*init)(cipher_stream&), stream_step_fn step, stream_end_fn end,
                          const bytes& input) {
    cipher_stream s{};
    FUZZ_CHECK(init(s) == 0);
    return fuzz::run_split(s, step, end, input, fuzz::split_plan::one_shot(input.size()));
}

std::string old_key, new_key, wrong_key;
const std::string* given_old = &old_key;

int init_encrypt(cipher_stream& s) { return encrypt_init(&s, old_key.c_str()); }
int init_keychange(cipher_stream& s) {
    return keychange_init(&s, given_old->c_str(), new_key.c_str());
}
int init_decrypt_new(cipher_stream& s) { return decrypt_init(&s, new_key.c_str(), 0); }

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::use_fixed_nonces();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto flags = in.ConsumeIntegral<std::uint8_t>();
    const auto cut = in.ConsumeIntegral<std::uint16_t>();
    old_key = in.ConsumeRandomLengthString(96).c_str();
    new_key = in.ConsumeRandomLengthString(96).c_str();
    wrong_key = in.ConsumeRandomLengthString(96).c_str();
    auto plan = fuzz::split_plan::from_bytes(
        in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 48)));
    bytes plain = in.ConsumeRemainingBytes<std::uint8_t>();

    bytes input;
    if (flags & 1) {
        input = plain; // arbitrary bytes as the old stream
    } else {
        fuzz::set_next_nonce(1000);
        input = one_shot(init_encrypt, encrypt_step, encrypt_end, plain).out;
        if ((flags & 2) && cut < input.size()) input.resize(cut);
    }
    // Data under old_key opens with wrong_key only when they are equal or
    // old_key is wrong_key followed by a carriage return.
    const bool wrong = (flags & 4) && old_key != wrong_key && old_key != wrong_key + "\r";
    given_old = wrong ? &wrong_key : &old_key;

    // The same new nonce for both runs, and another than the old header's.
    cipher_stream s{};
    fuzz::set_next_nonce(2000);
    FUZZ_CHECK(init_keychange(s) == 0);
    auto split = fuzz::run_split(s, keychange_step, keychange_end, input, plan);
    fuzz::set_next_nonce(2000);
    auto whole = one_shot(init_keychange, keychange_step, keychange_end, input);
    FUZZ_CHECK(fuzz::same_outcome(split, whole));
    FUZZ_CHECK(!split.output_before_header && split.max_lead <= 0);

    if (input.size() < 32) {
        FUZZ_CHECK(split.result == result_stream && split.fault == fault_bad_format);
        FUZZ_CHECK(split.out.empty());
        return 0;
    }
    if (split.result != 0) {
        // Only a header that no candidate opens is refused.
        FUZZ_CHECK(split.result == result_stream && split.fault == fault_key_mismatch);
        FUZZ_CHECK(split.failed_in_step && split.out.empty());
        FUZZ_CHECK(wrong || (flags & 1));
        return 0;
    }
    FUZZ_CHECK(!wrong);
    FUZZ_CHECK(split.out.size() == input.size());
    FUZZ_CHECK(!std::equal(split.out.begin(), split.out.begin() + 32, input.begin()));
    auto back = one_shot(init_decrypt_new, decrypt_step, decrypt_end, split.out);
    FUZZ_CHECK(back.result == 0 && back.out.size() == input.size() - 32);
    if (!(flags & 1)) FUZZ_CHECK(std::equal(back.out.begin(), back.out.end(), plain.begin()));
    return 0;
}
