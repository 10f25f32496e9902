#include "engine/stream_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>

#include "engine/testing.h"

namespace engine_test {

bytes to_bytes(const std::string& text) { return bytes(text.begin(), text.end()); }

bytes random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    bytes data(count);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    return data;
}

splitter whole() {
    return [] { return split{1 << 30, 1 << 30}; };
}

splitter fixed(std::int32_t in, std::int32_t out) {
    return [=] { return split{in, out}; };
}

splitter random_splits(std::uint32_t seed) {
    auto rng = std::make_shared<std::mt19937>(seed);
    return [rng] {
        auto pick = [&]() -> std::int32_t {
            switch ((*rng)() % 6) {
            case 0: return 0;
            case 1: return 1;
            case 2: return static_cast<std::int32_t>(2 * ((*rng)() % 20) + 1); // small odd
            case 3: return static_cast<std::int32_t>(31 + (*rng)() % 3);       // around a block
            case 4: return static_cast<std::int32_t>(1 + (*rng)() % 200);
            default: return static_cast<std::int32_t>(1000 + (*rng)() % 5000); // large
            }
        };
        return split{pick(), pick()};
    };
}

stream_run run_stream(cipher_stream& stream, stream_step_fn step, stream_end_fn end,
                      const bytes& input, const splitter& next) {
    stream_run run;
    std::size_t offset = 0;
    int idle = 0;
    for (;;) {
        const split s = next();
        const std::size_t left = input.size() - offset;
        const auto in = static_cast<std::int32_t>(std::min<std::size_t>(left, s.in));
        bytes space(static_cast<std::size_t>(s.out) > (1u << 20) ? input.size() + 64
                                                                 : static_cast<std::size_t>(s.out));
        const auto out = static_cast<std::int32_t>(space.size());
        stream.in_ptr = input.data() + offset;
        stream.in_left = in;
        stream.out_ptr = space.data();
        stream.out_left = out;
        const int result = step(&stream);
        const auto took = static_cast<std::size_t>(in - stream.in_left);
        const auto made = static_cast<std::size_t>(out - stream.out_left);
        if (stream.in_ptr != input.data() + offset + took || stream.out_ptr != space.data() + made)
            throw std::logic_error("pointers and counts disagree");
        offset += took;
        run.output.insert(run.output.end(), space.begin(), space.begin() + static_cast<long>(made));
        if (result != 0) {
            run.step_result = result;
            run.consumed = offset;
            run.fault = stream.fault;
            return run;
        }
        ++run.steps_before_failure;
        // Done once all input is in and a step with room to spare left room.
        if (offset == input.size() && out > 0 && stream.out_left > 0) break;
        idle = (took == 0 && made == 0) ? idle + 1 : 0;
        if (idle > 1000) throw std::logic_error("stream makes no progress");
    }
    run.consumed = offset;
    run.end_result = end(&stream);
    run.fault = stream.fault;
    return run;
}

namespace {
    std::uint8_t nonce_seed = 0;
    nonce_source_fn previous_source = nullptr;

    void seeded_nonce(std::uint8_t out[32]) { fixed_nonce::nonce_bytes(nonce_seed, out); }
} // namespace

fixed_nonce::fixed_nonce(std::uint8_t seed) {
    nonce_seed = seed;
    previous_source = set_nonce_source_for_testing(seeded_nonce);
}

fixed_nonce::~fixed_nonce() { set_nonce_source_for_testing(previous_source); }

void fixed_nonce::nonce_bytes(std::uint8_t seed, std::uint8_t out[32]) {
    for (int i = 0; i < 32; ++i) out[i] = static_cast<std::uint8_t>(seed + i);
}

stream_run encrypt_bytes(const char* keyword, const bytes& input, const splitter& next) {
    cipher_stream stream{};
    if (encrypt_init(&stream, keyword) != 0) throw std::runtime_error("encrypt_init failed");
    return run_stream(stream, encrypt_step, encrypt_end, input, next);
}

stream_run decrypt_bytes(const char* keyword, const bytes& input, int mismatch,
                         const splitter& next) {
    cipher_stream stream{};
    if (decrypt_init(&stream, keyword, mismatch) != 0)
        throw std::runtime_error("decrypt_init failed");
    return run_stream(stream, decrypt_step, decrypt_end, input, next);
}

stream_run keychange_bytes(const char* old_keyword, const char* new_keyword, const bytes& input,
                           const splitter& next) {
    cipher_stream stream{};
    if (keychange_init(&stream, old_keyword, new_keyword) != 0)
        throw std::runtime_error("keychange_init failed");
    return run_stream(stream, keychange_step, keychange_end, input, next);
}

temp_dir::temp_dir() {
    char pattern[] = "/tmp/ostrel-engine-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

void write_file(const std::string& path, const bytes& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()), static_cast<long>(content.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path);
    return bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace engine_test
