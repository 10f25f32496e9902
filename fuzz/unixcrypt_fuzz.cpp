// The legacy rotor stream under random keywords, data and splits.
//
// Properties: a split run gives exactly the one-shot output; the output is as
// long as the input; running the output through the same machine restores
// the input (the transformation is its own inverse at every position); and
// only the first 8 keyword bytes count.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>

#include "legacy/unixcrypt.h"
#include "split_driver.h"

using fuzz::bytes;

namespace {

fuzz::run_result run(const std::string& keyword, const bytes& input, const fuzz::split_plan& plan) {
    cipher_stream s{};
    const int init = unixcrypt_init(&s, keyword.c_str());
    if (init != 0) {
        // crypt(3) gave no result: nothing may stay allocated.
        FUZZ_CHECK(init == result_system && s.state == nullptr);
        fuzz::run_result r;
        r.result = init;
        return r;
    }
    auto r = fuzz::run_split(s, unixcrypt_step, unixcrypt_end, input, plan);
    FUZZ_CHECK(r.result == 0 && !r.failed_in_step);
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string keyword = in.ConsumeRandomLengthString(24).c_str();
    const std::string tail = in.ConsumeRandomLengthString(8).c_str();
    auto plan = fuzz::split_plan::from_bytes(
        in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(0, 48)));
    bytes input = in.ConsumeRemainingBytes<std::uint8_t>();

    auto split = run(keyword, input, plan);
    auto whole = run(keyword, input, fuzz::split_plan::one_shot(input.size()));
    FUZZ_CHECK(fuzz::same_outcome(split, whole));
    if (split.result != 0) return 0;
    FUZZ_CHECK(split.out.size() == input.size());

    auto back = run(keyword, split.out, plan);
    FUZZ_CHECK(back.result == 0 && back.out == input);

    if (keyword.size() >= 8) {
        auto longer =
            run(keyword.substr(0, 8) + tail, input, fuzz::split_plan::one_shot(input.size()));
        FUZZ_CHECK(longer.result == 0 && longer.out == whole.out);
    }
    return 0;
}
