// Runs any stream kind (init done by the caller) over an input held in
// memory, handing out input and output space in sizes the fuzzer chooses,
// and checks the stream contract at every step:
//   - the counts never go negative and the pointers move by exactly what the
//     counts say was consumed and produced;
//   - a step with input and output space available makes progress;
//   - a failing step has released its state; end always releases it;
//   - once the input is exhausted, a step that does not fill its output owes
//     nothing more (the file driver relies on this to stop).
// The caller compares the result with a one-shot run of the same stream.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "base/base.h"
#include "fuzz_check.h"

namespace fuzz {

using bytes = std::vector<std::uint8_t>;

struct space {
    std::int32_t in;
    std::int32_t out;
};

// A cycle of (input, output) sizes. Sizes of 0 are allowed, but the cycle
// always holds a pair with room on both sides, so every run ends.
struct split_plan {
    std::vector<space> cycle;

    // Everything at once: the whole input, and room for all the output.
    static split_plan one_shot(std::size_t input_size) {
        const auto n = std::int32_t(input_size + 64);
        return split_plan{{{n, n}}};
    }

    // Two bytes per pair; the low bits give mostly small sizes and the top
    // bit a large one, so block paths and byte paths both get exercised.
    static split_plan from_bytes(std::span<const std::uint8_t> raw) {
        split_plan plan;
        for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
            auto size = [](std::uint8_t b) -> std::int32_t {
                if (b & 0x80) return 32 * (b & 0x7f) + (b & 7);
                return b & 0x7f;
            };
            plan.cycle.push_back({size(raw[i]), size(raw[i + 1])});
        }
        bool moves = false;
        for (const auto& s : plan.cycle) moves = moves || (s.in > 0 && s.out > 0);
        if (!moves) plan.cycle.push_back({4096, 4096});
        return plan;
    }
};

struct run_result {
    int result = 0; // of the failing step, or of end
    int fault = 0;  // the stream's fault after a -2
    bool failed_in_step = false;
    bytes out;
    // Output produced while fewer than 32 input bytes had been consumed.
    bool output_before_header = false;
    // The most the output was ever ahead of the input (output minus input
    // consumed, after a step that left some output); decryption must stay
    // 32 behind, key change level, encryption 32 ahead at most.
    long max_lead = LONG_MIN;
};

inline run_result run_split(cipher_stream& stream, stream_step_fn step, stream_end_fn end,
                            std::span<const std::uint8_t> input, const split_plan& plan) {
    run_result r;
    std::size_t consumed = 0;
    std::size_t turn = 0;
    std::vector<std::uint8_t> out_buffer;
    bool input_done = input.empty();
    int idle_after_input = 0;
    stream.fault = 0;

    for (;;) {
        const space s = plan.cycle[turn++ % plan.cycle.size()];
        const std::size_t left = input.size() - consumed;
        const auto in_now = std::int32_t(std::min<std::size_t>(left, std::size_t(s.in)));
        out_buffer.assign(std::size_t(s.out), 0);

        stream.in_ptr = input.data() + consumed;
        stream.in_left = in_now;
        stream.out_ptr = out_buffer.data();
        stream.out_left = s.out;
        const std::uint8_t* in_before = stream.in_ptr;
        const int result = step(&stream);

        FUZZ_CHECK(stream.in_left >= 0 && stream.in_left <= in_now);
        FUZZ_CHECK(stream.out_left >= 0 && stream.out_left <= s.out);
        const std::size_t took = std::size_t(in_now - stream.in_left);
        const std::size_t made = std::size_t(s.out - stream.out_left);
        if (result != 0) {
            // A failing step releases the stream itself; nothing may come out.
            FUZZ_CHECK(stream.state == nullptr);
            FUZZ_CHECK(made == 0);
            r.result = result;
            r.fault = result == result_stream ? stream.fault : 0;
            r.failed_in_step = true;
            return r;
        }
        FUZZ_CHECK(stream.in_ptr == in_before + took);
        FUZZ_CHECK(stream.out_ptr == out_buffer.data() + made);
        consumed += took;
        r.out.insert(r.out.end(), out_buffer.begin(), out_buffer.begin() + std::ptrdiff_t(made));
        if (!r.out.empty()) {
            if (consumed < 32) r.output_before_header = true;
            r.max_lead = std::max(r.max_lead, long(r.out.size()) - long(consumed));
        }

        if (!input_done) {
            if (in_now > 0 && s.out > 0) FUZZ_CHECK(took > 0 || made > 0);
            input_done = consumed == input.size();
            continue;
        }
        // Input exhausted: what the stream still owes leaves in steps that
        // fill their output; a step with room to spare ends the run.
        if (s.out == 0) {
            FUZZ_CHECK(++idle_after_input < 1 << 16);
            continue;
        }
        if (stream.out_left > 0) break;
    }
    r.result = end(&stream);
    FUZZ_CHECK(stream.state == nullptr);
    r.fault = r.result == result_stream ? stream.fault : 0;
    return r;
}

inline bool same_outcome(const run_result& a, const run_result& b) {
    return a.result == b.result && a.fault == b.fault && a.failed_in_step == b.failed_in_step &&
           a.out == b.out;
}

// Repeatable header blocks: encrypt_init takes its nonce from here, so two
// encryptions with the same nonce value produce the same bytes.
void use_fixed_nonces();
void set_next_nonce(std::uint64_t value);

} // namespace fuzz
