// The decryption stream under random keywords, random data and random splits
// of input and output space, with and without `mismatch`.
//
// Scenario (from the input): the data itself as ciphertext; the data
// encrypted under the keyword (or its carriage-return form, or another
// keyword), possibly cut short and with one byte flipped; or a list of
// candidate keywords of which one may be right. Properties:
//   - a split run gives exactly the one-shot run's result and output;
//   - nothing is written before the 32nd input byte, and nothing at all when
//     the key is rejected;
//   - a right key gives back the plaintext, exactly as far as the ciphertext
//     goes, and a flipped byte disturbs only its own byte and the group
//     after it (cipher feedback);
//   - a short input is "bad file format" at end, a wrong key "key does not
//     match" at the 32nd byte; with `mismatch` every input of n >= 32 bytes
//     gives n - 32 bytes.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/testing.h"
#include "split_driver.h"

using fuzz::bytes;

namespace {

bytes encrypt_one_shot(const std::string& keyword, const bytes& plain) {
    cipher_stream s{};
    FUZZ_CHECK(encrypt_init(&s, keyword.c_str()) == 0);
    auto r = fuzz::run_split(s, encrypt_step, encrypt_end, plain,
                             fuzz::split_plan::one_shot(plain.size()));
    FUZZ_CHECK(r.result == 0 && r.out.size() == plain.size() + 32);
    return r.out;
}

// Runs one decryption twice, split and one-shot, and insists they agree.
fuzz::run_result decrypt_both(const std::vector<std::string>& candidates, int mismatch,
                              const bytes& cipher, const fuzz::split_plan& plan) {
    std::vector<const char*> texts;
    for (const auto& c : candidates) texts.push_back(c.c_str());
    auto init = [&](cipher_stream& s) {
        int r = candidates.size() == 1
                    ? decrypt_init(&s, texts[0], mismatch)
                    : decrypt_multi_init(&s, int(texts.size()), texts.data(), mismatch);
        FUZZ_CHECK(r == 0 && s.state != nullptr);
    };
    cipher_stream a{}, b{};
    init(a);
    auto split = fuzz::run_split(a, decrypt_step, decrypt_end, cipher, plan);
    init(b);
    auto whole = fuzz::run_split(b, decrypt_step, decrypt_end, cipher,
                                 fuzz::split_plan::one_shot(cipher.size()));
    FUZZ_CHECK(fuzz::same_outcome(split, whole));
    FUZZ_CHECK(!split.output_before_header && split.max_lead <= -32);
    if (split.result != 0) FUZZ_CHECK(split.out.empty());
    return split;
}

bool rejected_key(const fuzz::run_result& r) {
    return r.result == result_stream && r.fault == fault_key_mismatch && r.failed_in_step;
}
bool short_input(const fuzz::run_result& r) {
    return r.result == result_stream && r.fault == fault_bad_format && !r.failed_in_step;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::use_fixed_nonces();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto flags = in.ConsumeIntegral<std::uint8_t>();
    const int mismatch = flags & 1;
    const int scenario = (flags >> 1) % 5;
    const auto cut = in.ConsumeIntegral<std::uint16_t>();
    const auto flip_at = in.ConsumeIntegral<std::uint16_t>();
    const auto flip_bits = in.ConsumeIntegral<std::uint8_t>();
    // Keywords are C texts: whatever follows a NUL byte is not part of them.
    const std::string keyword = in.ConsumeRandomLengthString(96).c_str();
    const std::string other = in.ConsumeRandomLengthString(96).c_str();
    auto plan = fuzz::split_plan::from_bytes(
        in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 48)));
    bytes plain = in.ConsumeRemainingBytes<std::uint8_t>();
    fuzz::set_next_nonce(flags);

    if (scenario == 0) {
        // Arbitrary bytes as ciphertext.
        auto r = decrypt_both({keyword}, mismatch, plain, plan);
        if (plain.size() < 32)
            FUZZ_CHECK(short_input(r));
        else if (mismatch)
            FUZZ_CHECK(r.result == 0 && r.out.size() == plain.size() - 32);
        else
            FUZZ_CHECK(rejected_key(r) || (r.result == 0 && r.out.size() == plain.size() - 32));
        return 0;
    }

    const std::string written_under = scenario == 2   ? keyword + "\r"
                                      : scenario == 3 ? other
                                                      : keyword;
    bytes cipher = encrypt_one_shot(written_under, plain);
    if (cut < cipher.size() && (flags & 0x10)) cipher.resize(cut);
    const bool flipped = (flags & 0x20) && flip_bits != 0 && flip_at < cipher.size();
    if (flipped) cipher[flip_at] ^= flip_bits;

    // Candidates: one keyword (decrypt_init adds its carriage-return form),
    // or a list for decrypt_multi_init in which the right key may be absent,
    // present once, or behind others; the first match wins.
    std::vector<std::string> candidates{keyword};
    if (scenario == 4) {
        candidates = {other, other + "x"};
        if (flags & 0x40) candidates.insert(candidates.begin() + (flags >> 7), keyword);
        if (flags & 0x08) candidates.clear();
    }
    const bool single = candidates.size() == 1;
    std::vector<std::string> tried = candidates;
    if (single) tried.push_back(keyword + "\r");

    auto r = decrypt_both(candidates, mismatch, cipher, plan);
    if (cipher.size() < 32) {
        FUZZ_CHECK(short_input(r)); // the header is read before any key is tried
        return 0;
    }
    const std::size_t body = cipher.size() - 32;
    if (tried.empty()) {
        FUZZ_CHECK(rejected_key(r)); // no candidate, not even with mismatch
        return 0;
    }
    if (flipped && flip_at < 32) {
        // A damaged header: rejected, or (with mismatch) the first group
        // garbled and the rest intact, since later groups feed back from
        // ciphertext only.
        if (!mismatch) {
            FUZZ_CHECK(rejected_key(r) || (r.result == 0 && r.out.size() == body));
            return 0;
        }
        FUZZ_CHECK(r.result == 0 && r.out.size() == body);
        if (tried.front() == written_under)
            for (std::size_t j = 32; j < body; ++j) FUZZ_CHECK(r.out[j] == plain[j]);
        return 0;
    }
    // The key the stream must take: candidate 0 unchecked with mismatch,
    // otherwise the first that is the key the data was written under.
    const std::string* taken = nullptr;
    if (mismatch)
        taken = &tried.front();
    else
        for (const auto& c : tried)
            if (c == written_under) {
                taken = &c;
                break;
            }
    if (!taken) {
        FUZZ_CHECK(rejected_key(r));
        return 0;
    }
    FUZZ_CHECK(r.result == 0 && r.out.size() == body);
    if (*taken != written_under) return 0; // garbage of the right length
    if (!flipped) {
        FUZZ_CHECK(std::equal(r.out.begin(), r.out.end(), plain.begin()));
        return 0;
    }
    const std::size_t at = flip_at - 32;
    const std::size_t garbled_begin = (at / 32 + 1) * 32;
    const std::size_t garbled_end = garbled_begin + 32;
    for (std::size_t j = 0; j < body; ++j) {
        if (j == at)
            FUZZ_CHECK(r.out[j] == std::uint8_t(plain[j] ^ flip_bits));
        else if (j < garbled_begin || j >= garbled_end)
            FUZZ_CHECK(r.out[j] == plain[j]);
    }
    return 0;
}
