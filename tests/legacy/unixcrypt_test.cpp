// The rotor machine: its algebra (an involution at every position, a
// fixed-point-free reflector, a rotor permutation), its offsets, and one
// machine built from scratch here, keyed through crypt(3) directly, to check
// the construction rather than its self-consistency.

#include <crypt.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "legacy/unixcrypt.h"

namespace {

using bytes = std::vector<std::uint8_t>;

struct machine {
    cipher_stream stream{};
    explicit machine(const std::string& keyword) {
        if (unixcrypt_init(&stream, keyword.c_str()) != 0)
            throw std::runtime_error("unixcrypt_init failed");
    }
    ~machine() { unixcrypt_end(&stream); }
    machine(const machine&) = delete;
    machine& operator=(const machine&) = delete;

    rotor_state& state() { return *static_cast<rotor_state*>(stream.state); }

    // Transforms `input` in steps of `piece` bytes.
    bytes run(const bytes& input, std::size_t piece = SIZE_MAX) {
        bytes out(input.size());
        stream.in_ptr = input.data();
        stream.out_ptr = out.data();
        std::size_t done = 0;
        while (done < input.size()) {
            const std::size_t n = std::min(piece, input.size() - done);
            stream.in_left = static_cast<std::int32_t>(n);
            stream.out_left = static_cast<std::int32_t>(n + 3);
            EXPECT_EQ(unixcrypt_step(&stream), 0);
            EXPECT_EQ(stream.in_left, 0);
            EXPECT_EQ(stream.out_left, 3);
            done += n;
        }
        return out;
    }
};

bytes random_bytes(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    bytes data(count);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    return data;
}

// The keywords of every test: alphabet and non-alphabet first bytes, short,
// empty, and longer than 8.
const std::vector<std::string> keywords = {
    "",        "a", "!", "\xff", "\x80", "secret", "!\xff~{", ":@[`", "longer than eight bytes",
    "\x01\x02"};

TEST(unixcrypt, applying_twice_restores_the_input) {
    const bytes input = random_bytes(70000, 1);
    for (const std::string& keyword : keywords) {
        machine once(keyword), twice(keyword);
        const bytes scrambled = once.run(input);
        EXPECT_NE(scrambled, input);
        EXPECT_EQ(twice.run(scrambled), input) << "keyword size " << keyword.size();
    }
}

// The reflector has no fixed point, so no byte ever maps to itself.
TEST(unixcrypt, no_byte_maps_to_itself) {
    const bytes input = random_bytes(5000, 2);
    machine m("fixed");
    const bytes out = m.run(input);
    for (std::size_t i = 0; i < input.size(); ++i) ASSERT_NE(out[i], input[i]) << i;
}

TEST(unixcrypt, steps_of_any_size_give_one_output) {
    const bytes input = random_bytes(3000, 3);
    machine whole("split");
    const bytes reference = whole.run(input);
    for (std::size_t piece : {1u, 7u, 255u, 256u, 257u}) {
        machine m("split");
        EXPECT_EQ(m.run(input, piece), reference) << piece;
    }

    // No space on either side: nothing moves.
    machine m("split");
    std::uint8_t out[4];
    m.stream.in_ptr = input.data();
    m.stream.in_left = 4;
    m.stream.out_ptr = out;
    m.stream.out_left = 0;
    EXPECT_EQ(unixcrypt_step(&m.stream), 0);
    EXPECT_EQ(m.stream.in_left, 4);
    m.stream.in_left = 0;
    m.stream.out_left = 4;
    EXPECT_EQ(unixcrypt_step(&m.stream), 0);
    EXPECT_EQ(m.stream.out_left, 4);
}

// The mapping of all 256 byte values at the machine's current offsets.
bytes mapping_at(const rotor_state& at) {
    bytes map(256);
    for (int u = 0; u < 256; ++u) {
        rotor_state copy = at;
        cipher_stream s{};
        s.state = &copy;
        const std::uint8_t in = static_cast<std::uint8_t>(u);
        s.in_ptr = &in;
        s.in_left = 1;
        s.out_ptr = &map[static_cast<std::size_t>(u)];
        s.out_left = 1;
        unixcrypt_step(&s);
    }
    return map;
}

TEST(unixcrypt, offsets_wrap_after_256_and_65536_bytes) {
    machine m("offsets");
    const rotor_state start = m.state();
    const bytes at_0 = mapping_at(start);
    rotor_state slow_1 = start;
    slow_1.slow_offset = 1;
    const bytes at_0_1 = mapping_at(slow_1);
    EXPECT_NE(at_0, at_0_1);

    m.run(bytes(256, 0));
    EXPECT_EQ(m.state().fast_offset, 0);
    EXPECT_EQ(m.state().slow_offset, 1);
    EXPECT_EQ(mapping_at(m.state()), at_0_1);

    m.run(bytes(65536 - 256, 0));
    EXPECT_EQ(m.state().fast_offset, 0);
    EXPECT_EQ(m.state().slow_offset, 0);
    EXPECT_EQ(mapping_at(m.state()), at_0);
}

TEST(unixcrypt, every_keyword_builds_a_complete_machine) {
    for (const std::string& keyword : keywords) {
        machine m(keyword);
        const rotor_state& s = m.state();
        bool seen[256] = {};
        for (int x = 0; x < 256; ++x) {
            EXPECT_FALSE(seen[s.rotor[x]]);
            seen[s.rotor[x]] = true;
            EXPECT_EQ(s.rotor_inverse[s.rotor[x]], x);
            EXPECT_NE(s.reflector[x], x);
            EXPECT_EQ(s.reflector[s.reflector[x]], x);
        }
        EXPECT_EQ(s.fast_offset, 0);
        EXPECT_EQ(s.slow_offset, 0);
    }
}

TEST(unixcrypt, only_the_first_eight_bytes_count) {
    const bytes input = random_bytes(1000, 4);
    machine a("abcdefgh"), b("abcdefgh and more"), c("abcdefgX");
    const bytes out_a = a.run(input);
    EXPECT_EQ(b.run(input), out_a);
    EXPECT_NE(c.run(input), out_a);
}

// Every possible first byte: DES accepts every key text under a salt from
// the alphabet, so no keyword meets crypt(3)'s failure token, and the same
// keyword always builds the same machine.
TEST(unixcrypt, every_first_byte_keys_a_machine_repeatably) {
    for (int first = 1; first < 256; ++first) {
        const std::string keyword = {static_cast<char>(first), '\xfe', '\x80', 'q'};
        machine a(keyword), b(keyword);
        ASSERT_EQ(std::memcmp(&a.state(), &b.state(), sizeof(rotor_state)), 0) << first;
    }
}

TEST(unixcrypt, empty_input_and_immediate_end) {
    cipher_stream s{};
    ASSERT_EQ(unixcrypt_init(&s, "k"), 0);
    EXPECT_EQ(unixcrypt_end(&s), 0);
    EXPECT_EQ(s.state, nullptr);
}

// ---- Machines built from scratch ----------------------------------------------
//
// The salt characters are worked out by hand from the mapping, for example
// '!' = 33 is below ':' -> (33 - 46) mod 64 = 51 -> 'n'; 0xFF = -1 ->
// (-1 - 46) mod 64 = 17 -> 'F'; ':' = 58 -> 58 - 53 = 5 -> '3'; '[' = 91 is
// above 'Z' -> (91 - 59) mod 64 = 32 -> 'U'; 0x80 = -128 -> (-174) mod 64 =
// 18 -> 'G'. The hash comes from crypt(3) directly, and the seed arithmetic
// is done in 64 bits with an explicit reduction to the signed 32-bit range.

std::int64_t wrap32(std::int64_t v) {
    v &= 0xFFFFFFFF;
    return v >= 0x80000000LL ? v - 0x100000000LL : v;
}

struct reference_machine {
    std::uint8_t rotor[256], reflector[256], inverse[256];
};

reference_machine build_reference(const std::uint8_t text[13]) {
    auto term = [&](int i) { return static_cast<std::int64_t>(static_cast<std::int8_t>(text[i])); };
    std::int64_t seed = 123;
    for (int i = 0; i < 13; ++i) seed = wrap32(seed * term(i) + i);

    reference_machine m{};
    for (int x = 0; x < 256; ++x) m.rotor[x] = static_cast<std::uint8_t>(x);
    for (int k = 255; k >= 0; --k) {
        seed = wrap32(5 * seed + term((255 - k) % 13));
        const std::int64_t remainder = seed % 65521; // truncates, like C
        const std::uint32_t pattern = static_cast<std::uint32_t>(remainder & 0xFFFFFFFF);
        const int j = static_cast<int>(pattern % 256) % (k + 1);
        std::swap(m.rotor[k], m.rotor[j]);
        if (m.reflector[k] != 0) continue;
        int r = static_cast<int>((pattern / 256) % 256) % k;
        while (m.reflector[r] != 0) r = (r + 1) % k;
        m.reflector[k] = static_cast<std::uint8_t>(r);
        m.reflector[r] = static_cast<std::uint8_t>(k);
    }
    for (int x = 0; x < 256; ++x) m.inverse[m.rotor[x]] = static_cast<std::uint8_t>(x);
    return m;
}

TEST(unixcrypt, known_machines_from_crypt_directly) {
    const struct {
        std::string keyword;
        const char* salt;
    } cases[] = {
        {"!\xffxyz", "nF"}, {":@", "39"}, {"[`", "UZ"},
        {"~\x80", "1G"},    {"ab", "ab"}, {"Zz./09Az+", "Zz"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.salt);
        const std::string key_text = c.keyword.substr(0, 8);
        const char* hash = crypt(key_text.c_str(), c.salt);
        ASSERT_NE(hash, nullptr);
        ASSERT_EQ(std::strlen(hash), 13u);
        ASSERT_EQ(std::string(hash, 2), c.salt);

        std::uint8_t text[13];
        std::memcpy(text, hash, 13);
        text[0] = static_cast<std::uint8_t>(c.keyword[0]);
        text[1] = static_cast<std::uint8_t>(c.keyword[1]);
        const reference_machine expected = build_reference(text);

        machine m(c.keyword);
        EXPECT_EQ(std::memcmp(m.state().rotor, expected.rotor, 256), 0);
        EXPECT_EQ(std::memcmp(m.state().reflector, expected.reflector, 256), 0);
        EXPECT_EQ(std::memcmp(m.state().rotor_inverse, expected.inverse, 256), 0);

        // Bytes through the machine, by the three-lookup rule.
        const bytes input = random_bytes(600, 5);
        const bytes out = m.run(input);
        for (std::size_t n = 0; n < input.size(); ++n) {
            const unsigned f = n % 256, w = (n / 256) % 256;
            const unsigned a = expected.rotor[(input[n] + f) % 256];
            const unsigned b = (expected.reflector[(a + w) % 256] + 256 - w) % 256;
            ASSERT_EQ(out[n], static_cast<std::uint8_t>((expected.inverse[b] + 256 - f) % 256))
                << n;
        }
    }
}

// A keyword of one byte: the seed text is that byte and twelve zero bytes,
// whatever the hash; an empty keyword: thirteen zero bytes.
TEST(unixcrypt, short_keywords_cut_the_seed_text) {
    std::uint8_t text[13] = {'Q'};
    const reference_machine one = build_reference(text);
    machine q("Q");
    EXPECT_EQ(std::memcmp(q.state().rotor, one.rotor, 256), 0);
    EXPECT_EQ(std::memcmp(q.state().reflector, one.reflector, 256), 0);

    std::uint8_t zeros[13] = {};
    const reference_machine none = build_reference(zeros);
    machine empty("");
    EXPECT_EQ(std::memcmp(empty.state().rotor, none.rotor, 256), 0);
    EXPECT_EQ(std::memcmp(empty.state().reflector, none.reflector, 256), 0);
}

} // namespace
