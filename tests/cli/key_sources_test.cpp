// Where the keywords come from: options, environment variables and key
// files; and the check of the encryption key against a reference file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_support.h"
#include "support/harness.h"

namespace {

using cli_test::decrypt;
using cli_test::encrypt;
using cli_test::expect_opens;
using cli_test::run_with;
using harness::run_options;
using harness::run_result;

using cli_test::expect_key;
const std::string& plain = cli_test::sample_plain;

// ---- Options and environment -----------------------------------------------------------

TEST(KeySources, OptionsAndEnvironmentVariables) {
    struct source_case {
        std::string label;
        std::vector<std::string> args;
        std::string key; // the key the output must open under
    };
    const std::vector<source_case> cases = {
        {"-K", {"-K", "alpha"}, "alpha"},
        {"--key=", {"--key=beta"}, "beta"},
        {"-K attached", {"-Kgamma"}, "gamma"},
        {"last -K wins", {"-K", "one", "-K", "two"}, "two"},
        {"-E", {"-E", "OSTREL_TEST_KEY"}, "from the environment"},
        {"-E then -K", {"-E", "OSTREL_TEST_KEY", "-K", "later"}, "later"},
        {"-K then -E", {"-K", "earlier", "-E", "OSTREL_TEST_KEY"}, "from the environment"},
        {"empty -K", {"-K", ""}, ""},
        {"-E empty", {"-E", "OSTREL_EMPTY_KEY"}, ""},
    };
    for (const auto& c : cases) {
        run_options o;
        o.args = c.args;
        o.input = plain;
        o.env_set = {{"OSTREL_TEST_KEY", "from the environment"}, {"OSTREL_EMPTY_KEY", ""}};
        run_result r = harness::run(o);
        ASSERT_EQ(r.status, 0) << c.label << ": " << r.err;
        expect_key(r.out, c.key, c.label);
    }
}

TEST(KeySources, SecondKeywordFromH_F_AndKeyFileLines) {
    harness::temp_dir dir;
    harness::write_file(dir / "two", "old key\r\nnew key\n");
    harness::write_file(dir / "one", "old key\n");
    const std::string cipher = encrypt(plain, "old key");
    struct keychange_case {
        std::string label;
        std::vector<std::string> args;
    };
    const std::vector<keychange_case> cases = {
        {"-K -H", {"-x", "-K", "old key", "-H", "new key"}},
        {"--key2", {"-x", "-K", "old key", "--key2", "new key"}},
        {"-E -F", {"-x", "-E", "OSTREL_OLD", "-F", "OSTREL_NEW"}},
        {"key file", {"-x", "-k", dir / "two"}},
        {"key file over -K -H", {"-x", "-K", "x", "-H", "y", "-k", dir / "two"}},
        {"-k before -K -H", {"-x", "-k", dir / "two", "-K", "x", "-H", "y"}},
    };
    for (const auto& c : cases) {
        run_options o;
        o.args = c.args;
        o.input = cipher;
        o.env_set = {{"OSTREL_OLD", "old key"}, {"OSTREL_NEW", "new key"}};
        run_result r = harness::run(o);
        ASSERT_EQ(r.status, 0) << c.label << ": " << r.err;
        expect_key(r.out, "new key", c.label);
    }
    // Outside keychange mode only the first line is read, and -H stays.
    run_result e = run_with("ostrel", {"-k", dir / "two"}, plain);
    ASSERT_EQ(e.status, 0) << e.err;
    expect_key(e.out, "old key", "first line only");
}

// ---- Key files ----------------------------------------------------------------------

TEST(KeyFile, FirstLineWithoutItsLineEnd) {
    harness::temp_dir dir;
    const std::string long_key = harness::random_bytes(5000, 9);
    std::string printable_long_key;
    for (char ch : long_key) printable_long_key += char('a' + (unsigned char)ch % 26);
    struct key_file_case {
        std::string label;
        std::string content;
        std::string key;
    };
    const std::vector<key_file_case> cases = {
        {"newline", "secret\n", "secret"},
        {"CRLF", "secret\r\n", "secret"},
        {"no final newline", "secret", "secret"},
        {"lone CR at the end is kept", "secret\r", "secret\r"},
        {"CR inside", "sec\rret\n", "sec\rret"},
        {"more lines", "secret\nother\n", "secret"},
        {"one empty line", "\n", ""},
        {"CRLF alone", "\r\n", ""},
        {"blanks kept", " secret \n", " secret "},
        {"32 bytes", std::string(32, 'k') + "\n", std::string(32, 'k')},
        {"5000 bytes", printable_long_key + "\n", printable_long_key},
    };
    for (const auto& c : cases) {
        harness::write_file(dir / "key", c.content);
        run_result r = run_with("ostrel", {"-k", dir / "key"}, plain);
        ASSERT_EQ(r.status, 0) << c.label << ": " << r.err;
        expect_key(r.out, c.key, c.label);
    }
}

// A zero byte in a key-file line ends the keyword there, as it always did
// (files written so must still open), but now with a warning naming the
// file; quiet runs stay silent.
TEST(KeyFile, ZeroByteInALineWarnsAndKeepsTheBytesBeforeIt) {
    harness::temp_dir dir;
    const std::string warning = "ostrel: warning: keyword in " + (dir / "key") +
                                " contains a zero byte; only the bytes before it are used\n";
    struct zero_case {
        std::string label;
        std::string content;
        std::vector<std::string> extra;
        std::string key;
        std::string err;
    };
    const std::vector<zero_case> cases = {
        {"inside", std::string("ab\0cd\n", 6), {}, "ab", warning},
        {"first byte",
         std::string("\0secret\n", 8),
         {},
         "",
         warning + "ostrel: warning: empty keyword\n"},
        {"last byte", std::string("ab\0\n", 4), {}, "ab", warning},
        {"no final newline", std::string("ab\0", 3), {}, "ab", warning},
        {"several", std::string("a\0b\0c\n", 6), {}, "a", warning},
        {"quiet", std::string("ab\0cd\n", 6), {"-q"}, "ab", ""},
        {"on a later line only", std::string("ab\nc\0d\n", 7), {}, "ab", ""},
        {"none", "abcd\n", {}, "abcd", ""},
    };
    for (const auto& c : cases) {
        harness::write_file(dir / "key", c.content);
        std::vector<std::string> args = {"-k", dir / "key"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        run_result r = run_with("ostrel", args, plain);
        ASSERT_EQ(r.status, 0) << c.label << ": " << r.err;
        EXPECT_EQ(r.err, c.err) << c.label;
        expect_key(r.out, c.key, c.label);
    }
}

TEST(KeyFile, ZeroByteWarningsInEveryModeAndOnEitherKeyChangeLine) {
    harness::temp_dir dir;
    const std::string cipher = encrypt(plain, "ab");
    const std::string warning = "ostrel: warning: keyword in " + (dir / "key") +
                                " contains a zero byte; only the bytes before it are used\n";
    harness::write_file(dir / "key", std::string("ab\0x\n", 5));
    run_result d = run_with("ostrel", {"-d", "-k", dir / "key"}, cipher);
    ASSERT_EQ(d.status, 0) << d.err;
    EXPECT_EQ(d.out, plain);
    EXPECT_EQ(d.err, warning);

    harness::write_file(dir / "key", std::string("ab\nnew\0x\n", 9));
    run_result x = run_with("ostrel", {"-x", "-k", dir / "key"}, cipher);
    ASSERT_EQ(x.status, 0) << x.err;
    expect_key(x.out, "new", "second line");
    EXPECT_EQ(x.err, warning);

    harness::write_file(dir / "key", std::string("a\0b\nn\0w\n", 8));
    run_result both = run_with("ostrel", {"-x", "-k", dir / "key"}, encrypt(plain, "a"));
    ASSERT_EQ(both.status, 0) << both.err;
    expect_key(both.out, "n", "both lines");
    EXPECT_EQ(both.err, warning + warning);
}

// An empty keyword is a warning where it will encrypt: in encrypt mode and
// as a key change's new keyword; never where it only opens.
TEST(KeySources, EmptyKeywordWarnsWhereItWillEncrypt) {
    const std::string warning = "ostrel: warning: empty keyword\n";
    const std::string under_empty = encrypt(plain, "");
    const std::string under_a = encrypt(plain, "a");
    struct empty_case {
        std::string label;
        std::vector<std::string> args;
        std::string input;
        std::string err;
    };
    const std::vector<empty_case> cases = {
        {"encrypt, -K", {"-K", ""}, plain, warning},
        {"encrypt, -E", {"-E", "OSTREL_EMPTY_KEY"}, plain, warning},
        {"encrypt, quiet", {"-q", "-K", ""}, plain, ""},
        {"encrypt, not empty", {"-K", "a"}, plain, ""},
        {"decrypt", {"-d", "-K", ""}, under_empty, ""},
        {"cat", {"-c", "-K", ""}, under_empty, ""},
        {"new keyword", {"-x", "-K", "a", "-H", ""}, under_a, warning},
        {"new keyword, quiet", {"-x", "-q", "-K", "a", "-H", ""}, under_a, ""},
        {"old keyword", {"-x", "-K", "", "-H", "a"}, under_empty, ""},
    };
    for (const auto& c : cases) {
        run_options o;
        o.args = c.args;
        o.input = c.input;
        o.env_set = {{"OSTREL_EMPTY_KEY", ""}};
        run_result r = harness::run(o);
        ASSERT_EQ(r.status, 0) << c.label << ": " << r.err;
        EXPECT_EQ(r.err, c.err) << c.label;
    }
}

TEST(KeyFile, KeyFileWinsOverKInEitherOrder) {
    harness::temp_dir dir;
    harness::write_file(dir / "key", "from file\n");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-K", "from option", "-k", dir / "key"}, {"-k", dir / "key", "-K", "from option"}}) {
        run_result r = run_with("ostrel", args, plain);
        ASSERT_EQ(r.status, 0) << r.err;
        expect_key(r.out, "from file", ::testing::PrintToString(args));
        EXPECT_EQ(run_with("osdecrypt", {"-K", "from option"}, r.out).status, 4);
    }
}

TEST(KeyFile, FailuresEndWithStatusNine) {
    harness::temp_dir dir;
    harness::write_file(dir / "empty", "");
    harness::write_file(dir / "one", "only one line\n");
    struct key_failure {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<key_failure> cases = {
        {{"-k", dir / "empty"}, "ostrel: error reading keyfile\n"},
        {{"-d", "-k", dir / "empty"}, "ostrel: error reading keyfile\n"},
        {{"-x", "-k", dir / "one"}, "ostrel: error reading keyfile\n"},
        {{"-x", "-k", dir / "empty"}, "ostrel: error reading keyfile\n"},
        {{"-k", dir / "missing"},
         "ostrel: could not read key from " + dir / "missing" + ": No such file or directory\n"},
        {{"-k", "-"}, "ostrel: error reading keyfile\n"}, // standard input is empty
    };
    for (const auto& c : cases) {
        run_result r = run_with("ostrel", c.args, "");
        EXPECT_EQ(r.status, 9) << ::testing::PrintToString(c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
}

TEST(KeyFile, StandardInputGivesTheKeyAndThenTheData) {
    const std::string big = harness::random_bytes(300000, 21);
    for (const std::string& data : {std::string(""), plain, big}) {
        run_result e = run_with("ostrel", {"-k", "-"}, "stdin key\n" + data);
        ASSERT_EQ(e.status, 0) << e.err;
        ASSERT_EQ(e.out.size(), data.size() + 32);
        EXPECT_TRUE(decrypt(e.out, "stdin key") == data);

        run_result d = run_with("osdecrypt", {"-k", "-"}, "stdin key\r\n" + e.out);
        ASSERT_EQ(d.status, 0) << d.err;
        EXPECT_TRUE(d.out == data);
    }
    // Keychange takes two lines from standard input.
    std::string cipher = encrypt(plain, "a");
    run_result x = run_with("ostrel", {"-x", "-k", "-"}, "a\nb\n" + cipher);
    ASSERT_EQ(x.status, 0) << x.err;
    expect_key(x.out, "b", "keychange from standard input");
}

// ---- The reference file ---------------------------------------------------------------------

TEST(Reference, EncryptionKeyMustOpenTheReferenceFile) {
    harness::temp_dir dir;
    harness::write_file(dir / "ref", encrypt("reference data", "pw"));
    harness::write_file(dir / "header", encrypt("", "pw"));
    harness::write_file(dir / "other", encrypt("reference data", "other"));
    harness::write_file(dir / "short", encrypt("", "pw").substr(0, 31));
    harness::write_file(dir / "empty", "");
    const std::string no_match = "The encryption key does not match the reference file.\n";
    struct reference_case {
        std::string label;
        std::string name;
        std::vector<std::string> args;
        int status;
        std::string err;
    };
    const std::vector<reference_case> cases = {
        {"matching", "ostrel", {"-K", "pw", "-y", dir / "ref"}, 0, ""},
        {"header only", "ostrel", {"-K", "pw", "--keyref", dir / "header"}, 0, ""},
        {"another key", "ostrel", {"-K", "pw", "-y", dir / "other"}, 10, no_match},
        {"31 bytes", "ostrel", {"-K", "pw", "-y", dir / "short"}, 10, no_match},
        {"empty", "ostrel", {"-K", "pw", "-y", dir / "empty"}, 10, no_match},
        {"missing",
         "ostrel",
         {"-K", "pw", "-y", dir / "missing"},
         10,
         "ostrel: could not open " + dir / "missing" + ": No such file or directory\n"},
        {"a directory",
         "ostrel",
         {"-K", "pw", "-y", dir.path},
         10,
         "ostrel: " + dir.path + ": Is a directory\n"},
        {"keychange checks the new key",
         "ostrel",
         {"-x", "-K", "pw", "-H", "other", "-y", dir / "other"},
         0,
         ""},
        {"keychange, old key only",
         "ostrel",
         {"-x", "-K", "pw", "-H", "new", "-y", dir / "ref"},
         10,
         no_match},
        {"decrypt ignores -y", "osdecrypt", {"-K", "pw", "-y", dir / "missing"}, 0, ""},
        {"cat ignores -y", "oscat", {"-K", "pw", "-y", dir / "other"}, 0, ""},
        {"unixcrypt ignores -y", "ostrel", {"-u", "-K", "pw", "-y", dir / "missing"}, 0, ""},
    };
    const std::string cipher = encrypt(plain, "pw");
    for (const auto& c : cases) {
        bool decrypting = c.name != "ostrel" || c.args[0] == "-x";
        run_result r = run_with(c.name, c.args, decrypting ? cipher : plain);
        EXPECT_EQ(r.status, c.status) << c.label;
        EXPECT_EQ(r.err, c.err) << c.label;
        if (c.status != 0) {
            EXPECT_EQ(r.out, "") << c.label << ": nothing is written before the check";
        } else {
            EXPECT_FALSE(r.out.empty()) << c.label;
        }
    }
}

TEST(Reference, CheckedBeforeAnyFileIsTouched) {
    harness::temp_dir dir;
    harness::write_file(dir / "other", encrypt("", "other"));
    harness::write_file(dir / "data", plain);
    run_result r = run_with("ostrel", {"-K", "pw", "-y", dir / "other", dir / "data"});
    EXPECT_EQ(r.status, 10);
    EXPECT_EQ(harness::read_file(dir / "data"), plain);
    EXPECT_FALSE(harness::exists(dir / "data.osl"));
}

// Every way the program ends while it holds keywords. Under the sanitizer
// build (test.sh) LeakSanitizer checks each of these exits: the keywords
// must have been wiped and freed on the way out, whatever the status.
TEST(KeySources, EveryExitStatusWithKeywordsHeld) {
    harness::temp_dir dir;
    harness::write_file(dir / "one", "old key\n");
    harness::write_file(dir / "reference", encrypt(plain, "other"));
    const std::string cipher = encrypt(plain, "key");
    struct exit_case {
        std::string label;
        std::vector<std::string> args;
        std::string input;
        int status;
        std::string stdout_path;
    };
    const std::vector<exit_case> cases = {
        {"success", {"-K", "key"}, plain, 0, ""},
        {"usage error after -K", {"-K", "key", "--no-such-option"}, plain, 1, ""},
        {"missing variable after -K", {"-K", "key", "-E", "OSTREL_NO_SUCH_VARIABLE"}, plain, 9, ""},
        {"key file ends before the new keyword",
         {"-x", "-K", "a", "-H", "b", "-k", dir / "one"},
         cipher,
         9,
         ""},
        {"key file missing after -K", {"-K", "key", "-k", dir / "missing"}, plain, 9, ""},
        {"reference of another key", {"-K", "key", "-y", dir / "reference"}, plain, 10, ""},
        {"reference missing", {"-K", "key", "-y", dir / "missing"}, plain, 10, ""},
        {"wrong keyword", {"-d", "-K", "wrong"}, cipher, 4, ""},
        {"full output", {"-K", "key"}, plain, 3, "/dev/full"},
        {"key change, wrong old keyword", {"-x", "-K", "wrong", "-H", "new"}, cipher, 4, ""},
    };
    for (const auto& c : cases) {
        run_options o;
        o.args = c.args;
        o.input = c.input;
        o.stdout_path = c.stdout_path;
        run_result r = harness::run(o);
        EXPECT_EQ(r.status, c.status) << c.label << ": " << r.err;
    }
}

} // namespace
