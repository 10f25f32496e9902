// Runs a test once per cipher path this build has; those the CPU lacks are
// skipped with the reason.
#pragma once

#include "cipher/cipher_paths.h"

#include <gtest/gtest.h>
#include <ostream>
#include <string>

// Readable parameter in failure messages (found by argument lookup, so it
// lives beside cipher_path in the global namespace).
inline void PrintTo(cipher_path path, std::ostream* os) { *os << cipher_path_name(path); }

namespace cipher_test {

// The paths of this build's target; the others are refused everywhere here
// (rijndael_paths_test.cpp checks that), so they are not listed as skips.
inline constexpr cipher_path built_cipher_paths[] = {
    cipher_path::portable,
#if OSTREL_CIPHER_X86
    cipher_path::aesni,
    cipher_path::vaes,
#endif
#if OSTREL_CIPHER_ARMV8
    cipher_path::armv8,
#endif
};

class OnEachPath : public ::testing::TestWithParam<cipher_path> {
protected:
    void SetUp() override {
        previous_ = active_cipher_path();
        if (!cipher_path_supported(GetParam()))
            GTEST_SKIP() << "the " << cipher_path_name(GetParam())
                         << " path is not built for this target or this CPU lacks its instructions";
        ASSERT_EQ(force_cipher_path(GetParam()), 0);
        ASSERT_EQ(active_cipher_path(), GetParam());
    }
    void TearDown() override { force_cipher_path(previous_); }

private:
    cipher_path previous_ = cipher_path::portable;
};

inline std::string path_test_name(const ::testing::TestParamInfo<cipher_path>& info) {
    return cipher_path_name(info.param);
}

} // namespace cipher_test

#define INSTANTIATE_ON_EACH_PATH(suite)                                                            \
    INSTANTIATE_TEST_SUITE_P(Paths, suite, ::testing::ValuesIn(cipher_test::built_cipher_paths),   \
                             cipher_test::path_test_name)
