// Names come from directories other users may write: every control byte of
// a path is printed as a backslash and three octal digits, in messages,
// questions and verbose lines alike, so a name cannot move the cursor, clear
// the screen or fake a line. Other bytes, UTF-8 included, print as they are.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using files_e2e::listing;
using files_e2e::run_in;
using strings = std::vector<std::string>;

struct name_case {
    std::string name;
    std::string shown;
};

const name_case names[] = {
    {"clear\x1b[2Jscreen", "clear\\033[2Jscreen"},
    {"back\rover", "back\\015over"},
    {"two\nlines", "two\\012lines"},
    {"tab\there", "tab\\011here"},
    {"del\x7f", "del\\177"},
    {"\x01start", "\\001start"},
    {"caf\xc3\xa9 \xe2\x82\xac", "caf\xc3\xa9 \xe2\x82\xac"},
};

TEST(shown_names, verbose_lines_and_renames_of_files_with_control_bytes) {
    for (const name_case& n : names) {
        harness::temp_dir dir;
        harness::write_file(dir / n.name, "content");
        harness::run_result r = run_in(dir, "ostrel", {"-v", "-K", "k", n.name});
        EXPECT_EQ(r.status, 0) << n.shown;
        EXPECT_EQ(r.err, "Encrypting " + n.shown + "\n");
        EXPECT_EQ(listing(dir.path), strings{n.name + ".osl"});
    }
}

TEST(shown_names, messages_questions_and_traversal_escape_every_component) {
    for (const name_case& n : names) {
        harness::temp_dir dir;
        ASSERT_EQ(mkdir((dir / n.name).c_str(), 0755), 0);
        harness::write_file(dir / (n.name + "/" + n.name), "content");
        harness::write_file(dir / (n.name + "/" + n.name + ".osl"), "in the way");
        // The overwrite question, then a failure for a missing operand.
        harness::run_options options =
            files_e2e::options_in(dir, "ostrel", {"-r", "-s", "-K", "k", n.name, n.name + "x"});
        options.input = "n\n";
        harness::run_result r = harness::run(options);
        EXPECT_EQ(r.status, 8) << n.shown;
        // The directory's two entries come in the order it lists them.
        const std::string in_dir = "ostrel: " + n.shown + "/" + n.shown;
        const std::string ignored = in_dir + ".osl already has .osl suffix -- ignored\n";
        const std::string asked =
            in_dir + ".osl already exists; overwrite (y or n)? Not overwritten.\n";
        const std::string missing = "ostrel: " + n.shown + "x: No such file or directory\n";
        EXPECT_TRUE(r.err == ignored + asked + missing || r.err == asked + ignored + missing)
            << r.err;
    }
}

} // namespace
