// The command line of the built program: names, options, texts, validation.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli_support.h"
#include "support/harness.h"

namespace {

using harness::run_options;
using harness::run_result;

const std::string version_line =
    "ostrel " OSTREL_VERSION ". Secure encryption and decryption of files and streams.\n";
const std::string rights_line = "Copyright (C) 2026 The ostrel developers.\n";

const std::string help_text =
    version_line +
    "\n"
    "Usage: ostrel [mode] [options] [file...]\n"
    "       osencrypt [options] [file...]\n"
    "       osdecrypt [options] [file...]\n"
    "       oscat [options] file...\n"
    "\n"
    "Modes:\n"
    "    -e, --encrypt         encrypt\n"
    "    -d, --decrypt         decrypt\n"
    "    -c, --cat             cat; decrypt files to stdout\n"
    "    -x, --keychange       change key\n"
    "    -u, --unixcrypt       decrypt old unix crypt files\n"
    "\n"
    "Options:\n"
    "    -h, --help            print this help message and exit\n"
    "    -V, --version         print version info and exit\n"
    "    -L, --license         print license info and exit\n"
    "    -v, --verbose         print progress information to stderr\n"
    "    -q, --quiet           run quietly; suppress warnings\n"
    "    -f, --force           overwrite existing files without asking\n"
    "    -m, --mismatch        allow decryption with non-matching key\n"
    "    -E, --envvar var      read keyword from environment variable (unsafe)\n"
    "    -K, --key key         give keyword on command line (unsafe)\n"
    "    -k, --keyfile file    read keyword(s) as first line(s) from file\n"
    "    -P, --prompt prompt   use this prompt instead of default\n"
    "    -S, --suffix .suf     use suffix .suf instead of default .osl\n"
    "    -s, --strictsuffix    refuse to encrypt files which already have suffix\n"
    "    -F, --envvar2 var     as -E for second keyword (for keychange mode)\n"
    "    -H, --key2 key        as -K for second keyword (for keychange mode)\n"
    "    -Q, --prompt2 prompt  as -P for second keyword (for keychange mode)\n"
    "    -t, --timid           prompt twice for encryption keys (default)\n"
    "    -b, --brave           prompt only once for encryption keys\n"
    "    -y, --keyref file     encryption key must match this encrypted file\n"
    "    -r, --recursive       recurse through directories\n"
    "    -R, --rec-symlinks    follow symbolic links as subdirectories\n"
    "    -l, --symlinks        dereference symbolic links\n"
    "    -T, --tmpfiles        use temporary files instead of overwriting (unsafe)\n"
    "    -j, --jobs n          transform up to n files at once (default 0: one per CPU)\n"
    "    --progress            show a status line on a terminal while files are written\n"
    "    --                    end of options, filenames follow\n";

run_result run_args(std::vector<std::string> args, const std::string& name = "ostrel") {
    return cli_test::run_with(name, std::move(args));
}

// The value of one line "key = value" of the debug dump.
std::string dump_value(const std::string& err, const std::string& key) {
    std::string start = "\n" + key + " = ";
    auto at = err.find(start);
    if (at == std::string::npos) return "<missing>";
    at += start.size();
    return err.substr(at, err.find('\n', at) - at);
}

// ---- Texts -----------------------------------------------------------------------

struct text_case {
    std::vector<std::string> args;
    std::string out;
};

TEST(Texts, HelpVersionAndLicenceAreExactAndEndTheRun) {
    const std::string license_start = version_line + rights_line + "\n";
    const std::vector<text_case> cases = {
        {{"-h"}, help_text},
        {{"--help"}, help_text},
        {{"--he"}, help_text},
        {{"-S", ".x", "-h"}, help_text}, // the default suffix, whatever -S says
        {{"-V"}, version_line + rights_line},
        {{"--version"}, version_line + rights_line},
        {{"-h", "-Z"}, help_text}, // options after -h are never looked at
        {{"-V", "--no-such"}, version_line + rights_line},
        {{"-e", "-q", "-V"}, version_line + rights_line},
    };
    for (const auto& c : cases) {
        run_result r = run_args(c.args);
        EXPECT_EQ(r.status, 0) << c.args[0];
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.err, "") << c.args[0];
    }
}

TEST(Texts, LicenceNoticeFollowsVersionAndRightsAndAgreesWithLicenseFile) {
    run_result r = run_args({"-L"});
    ASSERT_EQ(r.status, 0);
    const std::string start = version_line + rights_line + "\n";
    ASSERT_EQ(r.out.substr(0, start.size()), start);
    std::string notice = r.out.substr(start.size());
    EXPECT_NE(notice.find("MIT License"), std::string::npos) << notice;
    EXPECT_NE(notice.find("without warranty"), std::string::npos) << notice;
    EXPECT_EQ(notice.back(), '\n');
    // The rights line is the LICENSE file's, word for word.
    std::string license = harness::read_file(std::string(OSTREL_SOURCE_DIR) + "/LICENSE");
    ASSERT_FALSE(license.empty());
    std::string holder = rights_line.substr(0, rights_line.size() - 2); // without ".\n"
    EXPECT_NE(license.find(holder), std::string::npos);
    EXPECT_EQ(license.rfind("MIT License", 0), 0u);
    EXPECT_EQ(run_args({"--license"}).out, r.out);
}

TEST(Texts, DebugDumpIsExact) {
    run_result r =
        run_args({"-D", "-v", "-K",   "secret", "-T",  "-S", ".x", "-P", "p1: ", "-Q", "p2: ", "-R",
                  "-f", "-k", "keys", "-y",     "ref", "-s", "-c", "-m", "-j3",  "a",  "b c"});
    const std::string dump = "\nCommand line:\n"
                             "name = ostrel\n"
                             "verbosity = verbose\n"
                             "debug = 1\n"
                             "keyword = (known)\n"
                             "keyword2 = (unknown)\n"
                             "mode = cat\n"
                             "filter = no\n"
                             "tmpfiles = yes\n"
                             "jobs = 3\n"
                             "suffix = .x\n"
                             "prompt = p1: \n"
                             "prompt2 = p2: \n"
                             "recursive = dirs and symlinks\n"
                             "symlinks = yes\n"
                             "force = yes\n"
                             "mismatch = yes\n"
                             "keyfile = keys\n"
                             "timid = no\n"
                             "keyref = ref\n"
                             "strictsuffix = yes\n"
                             "infiles: a b c\n"
                             "\n";
    EXPECT_EQ(r.err.substr(0, dump.size()), dump);

    run_result plain = run_args({"-DD", "-q"});
    const std::string defaults = "\nCommand line:\n"
                                 "name = ostrel\n"
                                 "verbosity = quiet\n"
                                 "debug = 2\n"
                                 "keyword = (unknown)\n"
                                 "keyword2 = (unknown)\n"
                                 "mode = encrypt\n"
                                 "filter = yes\n"
                                 "tmpfiles = no\n"
                                 "jobs = (CPUs)\n"
                                 "suffix = .osl\n"
                                 "prompt = (none)\n"
                                 "prompt2 = (none)\n"
                                 "recursive = no\n"
                                 "symlinks = no\n"
                                 "force = no\n"
                                 "mismatch = no\n"
                                 "keyfile = (none)\n"
                                 "timid = yes\n"
                                 "keyref = (none)\n"
                                 "strictsuffix = no\n"
                                 "infiles:\n"
                                 "\n";
    EXPECT_EQ(plain.err.substr(0, defaults.size()), defaults);
}

// ---- Program names ---------------------------------------------------------------------

struct name_case {
    std::string argv0;   // argument 0 as invoked (the binary itself is always run)
    std::string name;    // expected message prefix
    std::string mode;    // expected mode in the dump
    std::string scanner; // expected prefix of the option scanner's own diagnostic
};

TEST(ProgramNames, LastComponentOfArgumentZeroSelectsModeAndPrefix) {
    harness::temp_dir dir;
    const std::string bin = OSTREL_BIN_DIR;
    const std::vector<name_case> cases = {
        {bin + "/ostrel", "ostrel", "encrypt", "ostrel: "},
        {bin + "/osencrypt", "osencrypt", "encrypt", bin + "/osencrypt: "},
        {bin + "/osdecrypt", "osdecrypt", "decrypt", bin + "/osdecrypt: "},
        {bin + "/oscat", "oscat", "cat", bin + "/oscat: "},
        {"oscat", "oscat", "cat", "oscat: "},
        {dir / "foo", "ostrel", "encrypt", "ostrel: "},
        {"/some/dir/osdecrypt", "osdecrypt", "decrypt", "/some/dir/osdecrypt: "},
        {"/osdecrypt/foo", "ostrel", "encrypt", "ostrel: "},
        {"OSDECRYPT", "ostrel", "encrypt", "ostrel: "},
        {"osdecrypt.exe", "ostrel", "encrypt", "ostrel: "},
    };
    for (const auto& c : cases) {
        run_options o;
        o.argv0 = c.argv0;
        o.args = {"-D"}; // the run goes on to the prompt, and there is no terminal
        run_result r = harness::run(o);
        EXPECT_EQ(r.status, 2) << c.argv0;
        EXPECT_EQ(dump_value(r.err, "name"), c.name) << c.argv0;
        EXPECT_EQ(dump_value(r.err, "mode"), c.mode) << c.argv0;
        EXPECT_NE(r.err.find("\n\n" + c.name + ": cannot open /dev/tty: "), std::string::npos)
            << r.err;

        o.args = {"-e-"};
        r = harness::run(o);
        EXPECT_EQ(r.status, 1) << c.argv0;
        EXPECT_EQ(r.err, c.name + ": unimplemented option -- -\n") << c.argv0;

        o.args = {"-Z"};
        r = harness::run(o);
        EXPECT_EQ(r.status, 1) << c.argv0;
        EXPECT_EQ(r.err.rfind(c.scanner, 0), 0u) << c.argv0 << ": " << r.err;
    }
}

TEST(ProgramNames, EverySymlinkNameOfTheBuildSelectsItsMode) {
    const std::vector<std::pair<std::string, std::string>> cases = {{"ostrel", "encrypt"},
                                                                    {"osencrypt", "encrypt"},
                                                                    {"osdecrypt", "decrypt"},
                                                                    {"oscat", "cat"}};
    for (const auto& [name, mode] : cases) {
        run_result r = run_args({"-D"}, name);
        EXPECT_EQ(dump_value(r.err, "name"), name);
        EXPECT_EQ(dump_value(r.err, "mode"), mode);
    }
}

// Symbolic links outside the build directory, reached through a path, the
// way an installation would make them.
TEST(ProgramNames, SymlinksOfAnyNameElsewhere) {
    namespace fs = std::filesystem;
    harness::temp_dir dir;
    fs::create_directory(dir / "sub");
    const std::vector<std::pair<std::string, std::string>> links = {{"foo", "ostrel"},
                                                                    {"sub/osdecrypt", "osdecrypt"},
                                                                    {"sub/oscat", "oscat"},
                                                                    {"ostrel", "ostrel"}};
    for (const auto& [link, name] : links) {
        fs::create_symlink(harness::program_path("ostrel"), dir / link);
        run_options o;
        // The harness runs a name of the bin directory; this one leads out of it.
        o.name = fs::path(dir / link).lexically_relative(OSTREL_BIN_DIR).string();
        o.args = {"-e-"};
        run_result r = harness::run(o);
        EXPECT_EQ(r.status, 1) << link;
        EXPECT_EQ(r.err, name + ": unimplemented option -- -\n") << link;
        o.args = {"-D"};
        r = harness::run(o);
        EXPECT_EQ(dump_value(r.err, "name"), name) << link;
    }
}

// ---- Options -------------------------------------------------------------------------------

struct dump_case {
    std::string name;
    std::vector<std::string> args;
    std::string key;
    std::string value;
    std::vector<std::pair<std::string, std::string>> env = {};
};

TEST(Options, ApplyInCommandLineOrderAndLongFormsSelectTheirLetter) {
    const std::vector<dump_case> cases = {
        {"ostrel", {"-d", "-e"}, "mode", "encrypt"},
        {"ostrel", {"-e", "-d"}, "mode", "decrypt"},
        {"osdecrypt", {"-e"}, "mode", "encrypt"},
        {"oscat", {"-x"}, "mode", "keychange"},
        {"ostrel", {"-u"}, "mode", "unixcrypt"},
        {"ostrel", {"--keychange"}, "mode", "keychange"},
        {"ostrel", {"--unix"}, "mode", "unixcrypt"},
        {"ostrel", {"-y", "ref", "-t"}, "timid", "yes"},
        {"ostrel", {"-t", "-y", "ref"}, "timid", "no"},
        {"ostrel", {"-b"}, "timid", "no"},
        {"ostrel", {"-b", "--timid"}, "timid", "yes"},
        {"ostrel", {"-q", "-v"}, "verbosity", "verbose"},
        {"ostrel", {"-v", "--quiet"}, "verbosity", "quiet"},
        {"ostrel", {"-r"}, "recursive", "dirs, not symlinks"},
        {"ostrel", {"-R", "-r"}, "recursive", "dirs, not symlinks"},
        {"ostrel", {"--rec-symlinks"}, "recursive", "dirs and symlinks"},
        {"ostrel", {"--recursive"}, "recursive", "dirs, not symlinks"},
        {"ostrel", {"-l"}, "symlinks", "yes"},
        {"oscat", {}, "symlinks", "yes"},
        {"ostrel", {"-u"}, "symlinks", "yes"},
        {"ostrel", {"-c", "-e"}, "symlinks", "no"},
        {"ostrel", {"-DDD"}, "debug", "4"}, // with the -D that asks for the dump
        {"ostrel", {"-S", ""}, "suffix", ""},
        {"ostrel", {"--suffix=.enc"}, "suffix", ".enc"},
        {"ostrel", {"--key", "abc"}, "keyword", "(known)"},
        {"ostrel", {"--key", "abc"}, "keyfile", "(none)"},
        {"ostrel", {"--key=abc"}, "keyword", "(known)"},
        {"ostrel", {"--keyf", "kf"}, "keyfile", "kf"},
        {"ostrel", {"--key2", "abc"}, "keyword2", "(known)"},
        {"ostrel",
         {"--envvar2", "OSTREL_TEST_KEY"},
         "keyword2",
         "(known)",
         {{"OSTREL_TEST_KEY", "k"}}},
        {"ostrel",
         {"--envvar2", "OSTREL_TEST_KEY"},
         "keyword",
         "(unknown)",
         {{"OSTREL_TEST_KEY", "k"}}},
        {"ostrel",
         {"--envvar", "OSTREL_TEST_KEY"},
         "keyword",
         "(known)",
         {{"OSTREL_TEST_KEY", ""}}},
        {"ostrel", {"-k", "kf"}, "keyword", "(unknown)"},
        {"ostrel", {"--keyref", "r"}, "keyref", "r"},
        {"ostrel", {"--prompt2", "Q? "}, "prompt2", "Q? "},
        {"ostrel", {"--prompt", "P? "}, "prompt", "P? "},
        {"ostrel", {"--tmpfiles"}, "tmpfiles", "yes"},
        {"ostrel", {"--strictsuffix"}, "strictsuffix", "yes"},
        {"ostrel", {"--force"}, "force", "yes"},
        {"ostrel", {"--mismatch", "-d"}, "mismatch", "yes"},
        {"ostrel", {"--debug"}, "debug", "2"},
        {"ostrel", {"--jobs=12", "-j", "1"}, "jobs", "1"},
        {"ostrel", {"--jobs", "0012"}, "jobs", "12"},
        {"ostrel", {"-j", "0"}, "jobs", "(CPUs)"},
    };
    for (const auto& c : cases) {
        run_options o;
        o.name = c.name;
        o.args = c.args;
        o.args.insert(o.args.begin(), "-D");
        o.env_set = c.env;
        run_result r = harness::run(o);
        EXPECT_EQ(dump_value(r.err, c.key), c.value)
            << c.name << " " << ::testing::PrintToString(c.args);
    }
}

TEST(Options, OperandsMoveBehindOptionsUnlessPosixlyCorrect) {
    run_options o;
    o.args = {"-D", "a", "-d", "b", "--", "-c"};
    run_result r = harness::run(o);
    EXPECT_EQ(dump_value(r.err, "mode"), "decrypt");
    EXPECT_NE(r.err.find("\ninfiles: a b -c\n"), std::string::npos) << r.err;

    o.env_set = {{"POSIXLY_CORRECT", "1"}};
    r = harness::run(o);
    EXPECT_EQ(dump_value(r.err, "mode"), "encrypt");
    EXPECT_NE(r.err.find("\ninfiles: a -d b -- -c\n"), std::string::npos) << r.err;
}

// ---- Filter or file list ----------------------------------------------------------------

TEST(FilterRule, OnlyTheLastArgumentDecidesAnEmptyList) {
    struct filter_case {
        std::vector<std::string> args;
        std::string filter;
    };
    const std::vector<filter_case> cases = {
        {{}, "yes"},
        {{"-e"}, "yes"},
        {{"-e", "--"}, "no"},
        {{"--"}, "no"},
        {{"-S", "--"}, "no"}, // "--" is the suffix, yet the last argument
        {{"-S", "--", "-e"}, "yes"},
        {{"-P", "x"}, "yes"},
        {{"a"}, "no"},
        {{"--", "--"}, "no"}, // the operand "--"
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), "-D");
        EXPECT_EQ(dump_value(run_args(args).err, "filter"), c.filter)
            << ::testing::PrintToString(c.args);
    }
}

TEST(FilterRule, EmptyListOfFilenamesWarnsUnlessQuietAndSucceeds) {
    struct empty_case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<empty_case> cases = {
        {{"-e", "--"}, "ostrel: warning: empty list of filenames given\n"},
        {{"-S", "--"}, "ostrel: warning: empty list of filenames given\n"},
        {{"-K", "k", "--"}, "ostrel: warning: empty list of filenames given\n"},
        {{"-e", "-q", "--"}, ""},
    };
    for (const auto& c : cases) {
        run_result r = run_args(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    run_result r = run_args({"-d", "--"}, "osdecrypt");
    EXPECT_EQ(r.err, "osdecrypt: warning: empty list of filenames given\n");
}

// ---- Failures of the command line -----------------------------------------------------------

struct failure_case {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string err;      // the whole of standard error, or its end when `scanner`
    bool scanner = false; // preceded by the option scanner's own diagnostic
};

TEST(Failures, EachRowEndsWithItsMessageAndStatus) {
    const std::string try_help = "Try --help for more information.\n";
    const std::vector<failure_case> cases = {
        {"ostrel", {"-Z"}, 1, try_help, true},
        {"ostrel", {"--no-such-option"}, 1, try_help, true},
        {"ostrel", {"--env", "X"}, 1, try_help, true},
        {"ostrel", {"--rec"}, 1, try_help, true},
        {"ostrel", {"--p", "x"}, 1, try_help, true},
        {"ostrel", {"--s"}, 1, try_help, true},
        {"ostrel", {"-K"}, 1, try_help, true},
        {"ostrel", {"--keyfile"}, 1, try_help, true},
        {"ostrel", {"--encrypt=yes"}, 1, try_help, true},
        {"ostrel", {"-Z", "-h"}, 1, try_help, true},
        {"ostrel", {"-e-"}, 1, "ostrel: unimplemented option -- -\n"},
        {"ostrel", {"-j", "-1"}, 1, "ostrel: invalid number of jobs: -1\n" + try_help},
        {"ostrel", {"--jobs=2x"}, 1, "ostrel: invalid number of jobs: 2x\n" + try_help},
        {"ostrel", {"-j", ""}, 1, "ostrel: invalid number of jobs: \n" + try_help},
        {"osdecrypt", {"-d-"}, 1, "osdecrypt: unimplemented option -- -\n"},
        {"ostrel",
         {"-m", "-e", "file"},
         1,
         "ostrel: option -m can only be used with -c or when running as a filter.\n"},
        {"osdecrypt",
         {"-m", "file"},
         1,
         "osdecrypt: option -m can only be used with -c or when running as a filter.\n"},
        {"ostrel",
         {"-m", "-x", "-K", "a", "-H", "b", "file"},
         1,
         "ostrel: option -m can only be used with -c or when running as a filter.\n"},
        {"ostrel",
         {"-E", "OSTREL_NO_SUCH_VARIABLE"},
         9,
         "ostrel: environment variable OSTREL_NO_SUCH_VARIABLE does not exist.\n"},
        {"ostrel",
         {"-x", "-K", "a", "-F", "OSTREL_NO_SUCH_VARIABLE"},
         9,
         "ostrel: environment variable OSTREL_NO_SUCH_VARIABLE does not exist.\n"},
        // -E acts during the scan, before a later bad option is seen.
        {"ostrel",
         {"-E", "OSTREL_NO_SUCH_VARIABLE", "-Z"},
         9,
         "ostrel: environment variable OSTREL_NO_SUCH_VARIABLE does not exist.\n"},
    };
    for (const auto& c : cases) {
        run_options o;
        o.name = c.name;
        o.args = c.args;
        o.env_unset = {"OSTREL_NO_SUCH_VARIABLE"};
        run_result r = harness::run(o);
        std::string label = c.name + " " + ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << label;
        EXPECT_EQ(r.out, "") << label;
        if (c.scanner) {
            ASSERT_GT(r.err.size(), c.err.size()) << label << ": " << r.err;
            EXPECT_EQ(r.err.substr(r.err.size() - c.err.size()), c.err) << label;
            EXPECT_EQ(r.err.rfind(c.name + ": ", 0), 0u) << label; // argument 0 became "ostrel"
        } else {
            EXPECT_EQ(r.err, c.err) << label;
        }
    }
}

TEST(Failures, MismatchIsAcceptedForCatUnixcryptAndFilters) {
    harness::temp_dir dir;
    const std::string plain = "mismatch allowed\n";
    const std::string cipher = cli_test::encrypt(plain, "right");
    harness::write_file(dir / "a.osl", cipher);
    struct accepted_case {
        std::vector<std::string> args;
        std::string input;
        std::size_t out_size;
    };
    const std::vector<accepted_case> cases = {
        {{"-c", "-m", "-K", "wrong", dir / "a.osl"}, "", plain.size()},
        {{"-d", "-m", "-K", "wrong"}, cipher, plain.size()},
        {{"-u", "-m", "-K", "k", dir / "a.osl"}, "", cipher.size()},
    };
    for (const auto& c : cases) {
        run_result r = cli_test::run_with("ostrel", c.args, c.input);
        EXPECT_EQ(r.status, 0) << ::testing::PrintToString(c.args) << ": " << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.size(), c.out_size);
    }
}

// ---- The terminal checks of a filter run ---------------------------------------------------

struct terminal_case {
    std::vector<std::string> args;
    bool stdin_tty;
    bool stdout_tty;
    int status;
    std::string err;
};

TEST(TerminalChecks, EncryptedDataMeetsATerminalOnlyWhenForced) {
    const std::string not_written =
        "ostrel: encrypted data not written to a terminal. Use -f to force encryption.\n"
        "Try --help for more information.\n";
    const std::string not_read =
        "ostrel: encrypted data not read from a terminal. Use -f to force decryption.\n"
        "Try --help for more information.\n";
    const std::vector<terminal_case> cases = {
        {{}, false, true, 1, not_written},
        {{"-K", "k"}, false, true, 1, not_written},
        {{"-d", "-K", "k"}, true, false, 1, not_read},
        {{"-c", "-K", "k"}, true, false, 1, not_read},
        {{"-u", "-K", "k"}, true, false, 1, not_read},
        {{"-x", "-K", "k", "-H", "l"}, true, true, 1, not_written}, // standard output first
        {{"-x", "-K", "k", "-H", "l"}, true, false, 1, not_read},
        {{"-x", "-K", "k", "-H", "l"}, false, true, 1, not_written},
        {{"-d", "-K", "k"},
         false,
         true,
         4,
         "ostrel: bad file format\n"},           // decrypted text may go there
        {{"-e", "-K", "k"}, true, false, 0, ""}, // so may plaintext come
        {{"-f", "-K", "k"}, false, true, 0, ""},
        {{"-f", "-d", "-K", "k"}, true, false, 4, "ostrel: bad file format\n"},
        {{"-K", "k", "--"}, true, true, 0, "ostrel: warning: empty list of filenames given\n"},
    };
    for (const auto& c : cases) {
        run_options o;
        o.args = c.args;
        o.stdin_is_tty = c.stdin_tty;
        o.stdout_is_tty = c.stdout_tty;
        if (c.stdin_tty) o.tty_input = "\x04"; // an empty input when it is read
        run_result r = harness::run(o);
        std::string label = ::testing::PrintToString(c.args) + (c.stdin_tty ? " in" : "") +
                            (c.stdout_tty ? " out" : "");
        EXPECT_EQ(r.status, c.status) << label << ": " << r.err;
        EXPECT_EQ(r.err, c.err) << label;
    }
}

TEST(TerminalChecks, ForcedEncryptionWritesTheHeaderToTheTerminal) {
    run_options o;
    o.args = {"-f", "-K", "k"};
    o.stdout_is_tty = true;
    run_result r = harness::run(o);
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.tty.size(), 32u); // the terminal may expand some bytes
    EXPECT_EQ(r.out, "");
}

} // namespace
