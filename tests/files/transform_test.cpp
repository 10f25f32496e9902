// Encrypt, decrypt and key change of real files, in place and through a
// temporary file: contents, names and carried-over attributes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using files_e2e::listing;
using files_e2e::lstat_of;
using files_e2e::run_in;
using strings = std::vector<std::string>;

// Parameter: whether to write through a temporary file (-T).
struct both_ways : ::testing::TestWithParam<bool> {
    harness::temp_dir dir;
    strings with_way(strings args) const {
        if (GetParam()) args.insert(args.begin(), "-T");
        return args;
    }
};

INSTANTIATE_TEST_SUITE_P(writing, both_ways, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "temp_file" : "in_place"; });

TEST_P(both_ways, encrypt_decrypt_and_keychange_round_trip) {
    // Lengths around the drivers' buffer sizes and the block size.
    const std::size_t sizes[] = {0,   1,     31,    32,    33,         991,
                                 992, 10239, 10240, 10241, 20480 + 17, 300000};
    strings names;
    for (std::size_t i = 0; i < std::size(sizes); ++i) {
        names.push_back(std::string("f").append(std::to_string(sizes[i])));
        harness::write_file(dir / names.back(), harness::random_bytes(sizes[i], unsigned(i + 1)));
    }
    strings encrypt_args = with_way({"-K", "old"});
    encrypt_args.insert(encrypt_args.end(), names.begin(), names.end());
    harness::run_result r = run_in(dir, "ostrel", encrypt_args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_FALSE(harness::exists(dir / names[i]));
        std::string data = harness::read_file(dir / (names[i] + ".osl"));
        ASSERT_EQ(data.size(), sizes[i] + 32) << names[i];
        EXPECT_EQ(files_e2e::decrypted(data, "old"),
                  harness::random_bytes(sizes[i], unsigned(i + 1)));
    }

    strings change_args = with_way({"-x", "-K", "old", "-H", "new"});
    for (const auto& n : names) change_args.push_back(n + ".osl");
    r = run_in(dir, "ostrel", change_args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    // Decrypting under the old key is refused; under the new one it works.
    strings old_args = with_way({"-K", "old"});
    old_args.push_back(names.back() + ".osl");
    r = run_in(dir, "osdecrypt", old_args);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "osdecrypt: " + names.back() + ".osl: key does not match -- unchanged\n");

    strings decrypt_args = with_way({"-K", "new"});
    for (const auto& n : names) decrypt_args.push_back(n + ".osl");
    r = run_in(dir, "osdecrypt", decrypt_args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(listing(dir.path), [&] {
        strings sorted = names;
        std::sort(sorted.begin(), sorted.end());
        return sorted;
    }());
    for (std::size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(harness::read_file(dir / names[i]),
                  harness::random_bytes(sizes[i], unsigned(i + 1)));
}

// The attributes of `path` after its times, mode and (as root) owner were set
// to unusual values with sub-second parts. The mode comes last: a change of
// owner clears the set-user-ID and set-group-ID bits.
void give_attributes(const std::string& path, mode_t mode) {
    if (geteuid() == 0) {
        ASSERT_EQ(chown(path.c_str(), 1234, 2345), 0);
    }
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
    const struct timespec times[2] = {{1000000000, 700000000}, {1200000000, 300000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

void expect_attributes(const std::string& path, mode_t mode) {
    struct stat st = lstat_of(path);
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    EXPECT_EQ(st.st_mode & 07777, mode) << path;
    if (geteuid() == 0) {
        EXPECT_EQ(st.st_uid, 1234u) << path;
        EXPECT_EQ(st.st_gid, 2345u) << path;
    } else {
        EXPECT_EQ(st.st_uid, geteuid()) << path;
    }
    // Whole seconds: the sub-second parts are lost.
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_atim.tv_nsec, 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 0);
}

TEST_P(both_ways, owner_group_mode_and_times_are_carried_over_in_every_mode) {
    if (geteuid() != 0) std::printf("not root: the owner is checked to stay the user's own\n");
    harness::write_file(dir / "a", "attribute carrier");
    give_attributes(dir / "a", 04604);
    harness::run_result r = run_in(dir, "ostrel", with_way({"-K", "k", "a"}));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_attributes(dir / "a.osl", 04604);

    give_attributes(dir / "a.osl", 0640);
    r = run_in(dir, "ostrel", with_way({"-x", "-K", "k", "-H", "n", "a.osl"}));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_attributes(dir / "a.osl", 0640);

    give_attributes(dir / "a.osl", 02751);
    r = run_in(dir, "osdecrypt", with_way({"-K", "n", "a.osl"}));
    ASSERT_EQ(r.status, 0) << r.err;
    expect_attributes(dir / "a", 02751);
    EXPECT_EQ(harness::read_file(dir / "a"), "attribute carrier");
}

struct suffix_case {
    std::string program;
    strings options;  // before the operand
    std::string file; // created with plain or encrypted content
    bool file_encrypted;
    std::string result; // the name the content ends under ("" : untouched)
    std::string err;    // standard error, exactly
};

TEST_P(both_ways, output_names_follow_the_suffix_rules) {
    const suffix_case cases[] = {
        // A double suffix without strictsuffix; a note (unless quiet) with it.
        {"ostrel", {}, "a.osl", false, "a.osl.osl", ""},
        {"ostrel",
         {"-s"},
         "a.osl",
         false,
         "",
         "ostrel: a.osl already has .osl suffix -- ignored\n"},
        {"ostrel", {"-s", "-q"}, "a.osl", false, "", ""},
        // A name equal to the suffix does not carry it.
        {"ostrel", {"-s"}, ".osl", false, ".osl.osl", ""},
        {"osdecrypt", {}, ".osl", true, ".osl", ""},
        {"osdecrypt", {}, "d/.osl", true, "d/.osl", ""},
        {"osdecrypt", {}, "b.osl", true, "b", ""},
        {"osdecrypt", {"-S", ".x"}, "b.osl", true, "b.osl", ""},
        {"osdecrypt", {"-S", ".x"}, "b.osl.x", true, "b.osl", ""},
        // An empty suffix, in both ways of writing it, keeps every name.
        {"ostrel", {"-S", ""}, "c", false, "c", ""},
        {"ostrel", {"--suffix="}, "c", false, "c", ""},
        {"ostrel", {"-s", "-S", ""}, "c.osl", false, "c.osl", ""},
        {"osdecrypt", {"-S", ""}, "c.osl", true, "c.osl", ""},
        {"osdecrypt", {"--suffix="}, "c", true, "c", ""},
    };
    int n = 0;
    for (const suffix_case& c : cases) {
        SCOPED_TRACE(c.program + " " + ::testing::PrintToString(c.options) + " " + c.file);
        harness::temp_dir case_dir;
        ASSERT_EQ(mkdir((case_dir / "d").c_str(), 0755), 0);
        std::string plain = "content " + std::to_string(++n);
        std::string stored = c.file_encrypted ? files_e2e::encrypted(plain, "k") : plain;
        harness::write_file(case_dir / c.file, stored);
        strings args = with_way(c.options);
        args.insert(args.end(), {"-K", "k", c.file});
        harness::run_result r = run_in(case_dir, c.program, args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
        if (c.result.empty()) {
            EXPECT_EQ(harness::read_file(case_dir / c.file), stored);
            EXPECT_EQ(listing(case_dir.path), (strings{c.file, "d"}));
            continue;
        }
        std::string now = harness::read_file(case_dir / c.result);
        EXPECT_EQ(c.file_encrypted ? now : files_e2e::decrypted(now, "k"), plain);
        if (c.result != c.file) {
            EXPECT_FALSE(harness::exists(case_dir / c.file));
        }
        // Nothing else is left behind (no temporary file, no stray output).
        strings expected = {c.result.substr(0, c.result.find('/')), "d"};
        if (expected[0] == "d") expected.pop_back();
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(listing(case_dir.path), expected);
    }
}

TEST_P(both_ways, decrypt_falls_back_to_the_name_with_the_suffix) {
    std::string cipher = files_e2e::encrypted("fallback", "k");
    harness::write_file(dir / "a.osl", cipher);
    harness::run_result r = run_in(dir, "osdecrypt", with_way({"-K", "k", "a"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::read_file(dir / "a"), "fallback");
    EXPECT_EQ(listing(dir.path), strings{"a"});

    // Neither exists: the message names the operand as given.
    r = run_in(dir, "osdecrypt", with_way({"-K", "k", "missing"}));
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "osdecrypt: missing: No such file or directory\n");
    // Key change falls back too; encryption never does.
    harness::write_file(dir / "b.osl", cipher);
    r = run_in(dir, "ostrel", with_way({"-x", "-K", "k", "-H", "n", "b"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "b.osl"), "n"), "fallback");
    r = run_in(dir, "ostrel", with_way({"-K", "k", "b"}));
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: b: No such file or directory\n");
}

TEST_P(both_ways, keychange_and_unsuffixed_decrypt_keep_the_name_without_asking) {
    // No -f and no terminal: a question would read end of input and say no.
    std::string cipher = files_e2e::encrypted("kept name", "k");
    harness::write_file(dir / "plain", cipher);
    harness::write_file(dir / "e.osl", cipher);
    harness::run_result r = run_in(dir, "osdecrypt", with_way({"-K", "k", "plain"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(harness::read_file(dir / "plain"), "kept name");

    r = run_in(dir, "ostrel", with_way({"-x", "-K", "k", "-H", "n", "e.osl"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "e.osl"), "n"), "kept name");
    EXPECT_EQ(listing(dir.path), (strings{"e.osl", "plain"}));
}

TEST_P(both_ways, verbose_names_each_file_by_mode) {
    harness::write_file(dir / "a", "x");
    harness::run_result r = run_in(dir, "ostrel", with_way({"-v", "-K", "k", "a"}));
    EXPECT_EQ(r.err, "Encrypting a\n");
    r = run_in(dir, "ostrel", with_way({"-v", "-x", "-K", "k", "-H", "n", "a.osl"}));
    EXPECT_EQ(r.err, "Changing key for a.osl\n");
    r = run_in(dir, "osdecrypt", with_way({"-v", "-K", "n", "a.osl"}));
    EXPECT_EQ(r.err, "Decrypting a.osl\n");
    EXPECT_EQ(harness::read_file(dir / "a"), "x");
}

} // namespace
