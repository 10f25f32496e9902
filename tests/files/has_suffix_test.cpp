#include <gtest/gtest.h>

#include "files/files.h"

namespace {

struct suffix_case {
    const char* file_name;
    const char* suffix;
    int expected;
};

TEST(has_suffix, judges_the_last_component_strictly_longer_than_the_suffix) {
    const suffix_case cases[] = {
        {"a.osl", ".osl", 1},
        {"a.osl.osl", ".osl", 1},
        {"dir/a.osl", ".osl", 1},
        {"x.osl", "osl", 1},
        {".osl", ".osl", 0},     // the name equals the suffix
        {"dir/.osl", ".osl", 0}, // ... in a directory too
        {"dir//.osl", ".osl", 0},
        {"a.osl/", ".osl", 0},  // nothing after the last "/"
        {"d.osl/a", ".osl", 0}, // the suffix belongs to a directory
        {"osl", ".osl", 0},     // shorter than the suffix
        {"a.OSL", ".osl", 0},   // case-sensitive
        {"a.osl ", ".osl", 0},
        {"a.os", ".osl", 0},
        {"a", "", 1}, // longer than the empty suffix
        {"", "", 0},
        {"", ".osl", 0},
        {"a\xff", "\xff", 1}, // bytes, not characters
    };
    for (const suffix_case& c : cases)
        EXPECT_EQ(has_suffix(c.file_name, c.suffix), c.expected)
            << '"' << c.file_name << "\" with \"" << c.suffix << '"';
}

} // namespace
