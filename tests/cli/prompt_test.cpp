// Keywords asked for on the controlling terminal: prompt sequences, echo,
// interrupts; and keywords wiped from the argument list and the environment
// while the program waits at a prompt.
#include <gtest/gtest.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli_support.h"
#include "support/harness.h"

namespace {

using cli_test::encrypt;
using cli_test::expect_opens;
using cli_test::run_with;
using harness::run_options;
using harness::run_result;

using cli_test::expect_key;
const std::string& plain = cli_test::sample_plain;

// ---- Prompts on the controlling terminal --------------------------------------------------

// What a successful run's output must be.
enum class expect_out { plaintext, encrypted_under_key, rotor_under_key };

struct prompt_case {
    std::string label;
    std::string name;
    std::vector<std::string> args;
    std::string input;
    std::string typed;
    int status;
    std::string err;
    expect_out out = expect_out::encrypted_under_key;
    std::string key = "pw";
};

TEST(Prompts, SequencesAndOutcomes) {
    const std::string cipher = encrypt(plain, "pw");
    const std::string sorry = "Sorry, the keys you entered did not match.\n";
    const std::string twice = "Enter encryption key: \nEnter encryption key: (repeat) \n";
    using enum expect_out;
    const std::vector<prompt_case> cases = {
        {"encrypt asks twice", "ostrel", {}, plain, "pw\npw\n", 0, twice},
        {"osencrypt too", "osencrypt", {}, plain, "pw\npw\n", 0, twice},
        {"-b asks once", "ostrel", {"-b"}, plain, "pw\n", 0, "Enter encryption key: \n"},
        {"-t after -b", "ostrel", {"-b", "-t"}, plain, "pw\npw\n", 0, twice},
        {"-P for both",
         "ostrel",
         {"-P", "Passphrase> "},
         plain,
         "pw\npw\n",
         0,
         "Passphrase> \nPassphrase> (repeat) \n"},
        {"empty prompt", "ostrel", {"-P", ""}, plain, "pw\npw\n", 0, "\n(repeat) \n"},
        {"answers differ", "ostrel", {}, plain, "pw\npx\n", 7, twice + sorry},
        {"repeat is longer", "ostrel", {}, plain, "pw\npw2\n", 7, twice + sorry},
        {"end of input at the repeat", "ostrel", {}, plain, "pw\n\x04", 7, twice + sorry},
        {"end of input",
         "ostrel",
         {},
         plain,
         "\x04",
         9,
         "Enter encryption key: \nostrel: no key given\n"},
        {"empty answers are a key",
         "ostrel",
         {},
         plain,
         "\n\n",
         0,
         twice + "ostrel: warning: empty keyword\n",
         encrypted_under_key,
         ""},
        {"a long answer",
         "ostrel",
         {"-b"},
         plain,
         std::string(300, 'q') + "\n",
         0,
         "Enter encryption key: \n",
         encrypted_under_key,
         std::string(300, 'q')},
        {"decrypt asks once",
         "osdecrypt",
         {},
         cipher,
         "pw\n",
         0,
         "Enter decryption key: \n",
         plaintext},
        {"decrypt asks once with -t",
         "osdecrypt",
         {"-t"},
         cipher,
         "pw\n",
         0,
         "Enter decryption key: \n",
         plaintext},
        {"decrypt, end of input",
         "osdecrypt",
         {},
         cipher,
         "\x04",
         9,
         "Enter decryption key: \nosdecrypt: no key given\n"},
        {"cat", "oscat", {"-t"}, cipher, "pw\n", 0, "Enter decryption key: \n", plaintext},
        {"unixcrypt", "ostrel", {"-u"}, plain, "pw\n", 0, "Enter key: \n", rotor_under_key},
        {"-y makes encrypt ask once",
         "ostrel",
         {"-y", "REF"},
         plain,
         "pw\n",
         0,
         "Enter encryption key: \n"},
        {"-y then -t asks twice", "ostrel", {"-y", "REF", "-t"}, plain, "pw\npw\n", 0, twice},
        {"keychange",
         "ostrel",
         {"-x"},
         cipher,
         "pw\nnew\nnew\n",
         0,
         "Enter old key: \nEnter new key: \nEnter new key: (repeat) \n",
         encrypted_under_key,
         "new"},
        {"keychange with -K",
         "ostrel",
         {"-x", "-K", "pw"},
         cipher,
         "new\nnew\n",
         0,
         "Enter new key: \nEnter new key: (repeat) \n",
         encrypted_under_key,
         "new"},
        {"keychange with -H",
         "ostrel",
         {"-x", "-H", "new"},
         cipher,
         "pw\n",
         0,
         "Enter old key: \n",
         encrypted_under_key,
         "new"},
        {"keychange -b",
         "ostrel",
         {"-x", "-b"},
         cipher,
         "pw\nnew\n",
         0,
         "Enter old key: \nEnter new key: \n",
         encrypted_under_key,
         "new"},
        {"keychange -P -Q",
         "ostrel",
         {"-x", "-P", "Old? ", "-Q", "New? "},
         cipher,
         "pw\nnew\nnew\n",
         0,
         "Old? \nNew? \nNew? (repeat) \n",
         encrypted_under_key,
         "new"},
        {"keychange, new keys differ",
         "ostrel",
         {"-x"},
         cipher,
         "pw\nnew\nold\n",
         7,
         "Enter old key: \nEnter new key: \nEnter new key: (repeat) \n" + sorry},
        {"keychange, end of input at the new key",
         "ostrel",
         {"-x", "-K", "pw"},
         cipher,
         "\x04",
         9,
         "Enter new key: \nostrel: no key given\n"},
    };
    harness::temp_dir dir;
    harness::write_file(dir / "ref", encrypt("", "pw"));
    for (const auto& c : cases) {
        run_options o;
        o.name = c.name;
        o.args = c.args;
        for (auto& arg : o.args)
            if (arg == "REF") arg = dir / "ref";
        o.input = c.input;
        o.use_tty = true;
        o.tty_input = c.typed;
        run_result r = harness::run(o);
        EXPECT_EQ(r.status, c.status) << c.label << ": " << r.err;
        EXPECT_EQ(r.err, c.err) << c.label;
        EXPECT_EQ(r.tty.find("Enter"), std::string::npos)
            << c.label << ": the prompt belongs on stderr";
        if (c.status != 0) {
            EXPECT_EQ(r.out, "") << c.label;
        } else if (c.out == plaintext) {
            EXPECT_EQ(r.out, plain) << c.label;
        } else if (c.out == rotor_under_key) {
            EXPECT_EQ(run_with("ostrel", {"-u", "-K", c.key}, r.out).out, plain) << c.label;
        } else {
            expect_key(r.out, c.key, c.label);
        }
    }
}

TEST(Prompts, NoControllingTerminal) {
    struct tty_case {
        std::string name;
        std::vector<std::string> args;
    };
    const std::vector<tty_case> cases = {
        {"ostrel", {}}, {"osdecrypt", {}}, {"ostrel", {"-x", "-K", "old"}}, {"oscat", {"-H", "x"}}};
    for (const auto& c : cases) {
        run_result r = run_with(c.name, c.args, plain);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err.rfind(c.name + ": cannot open /dev/tty: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

// The answer is typed only once echo is off, the way a user types it, so
// that the terminal's output shows whether it was echoed.
TEST(Prompts, EchoIsOffWhileTheAnswerIsTypedAndRestoredAfter) {
    run_options o;
    o.args = {"-b"};
    o.input = plain;
    o.use_tty = true;
    harness::running_program p = harness::start(o);
    std::string err;
    ASSERT_TRUE(cli_test::read_stderr_until(p, err, "Enter encryption key: "));
    ASSERT_TRUE(cli_test::wait_for_echo(p.master_fd, false));
    unsigned long during = cli_test::local_modes(p.master_fd);
    EXPECT_EQ(during & (ECHO | ECHOE | ECHOK | ECHONL), 0u);
    EXPECT_NE(during & ICANON, 0u); // everything else as it was
    EXPECT_NE(during & ISIG, 0u);
    cli_test::type(p.master_fd, "quiet secret\n");
    cli_test::close_input(p);
    ASSERT_TRUE(cli_test::wait_until_ended(p.pid));
    EXPECT_NE(cli_test::local_modes(p.master_fd) & ECHO, 0u);
    run_result r = harness::finish(p);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(err + r.err, "Enter encryption key: \n");
    EXPECT_EQ(r.tty.find("quiet"), std::string::npos) << r.tty;
    expect_key(r.out, "quiet secret", "typed without echo");
}

// An interrupt at a prompt ends the process by SIGINT as before, but the
// terminal has its echo back.
TEST(Prompts, InterruptAtAPromptRestoresEchoAndEndsBySigint) {
    struct interrupt_case {
        std::string label;
        std::vector<std::string> args;
        std::string answered; // typed at the first prompt, if any
        std::string prompt;   // the prompt that is interrupted
        bool by_terminal;     // ^C typed at the terminal rather than kill()
    };
    const std::vector<interrupt_case> cases = {
        {"kill at the first prompt", {}, "", "Enter encryption key: ", false},
        {"^C at the first prompt", {}, "", "Enter encryption key: ", true},
        {"^C at the repeat", {}, "pw\n", "Enter encryption key: (repeat) ", true},
        {"kill at the new key", {"-x", "-K", "old"}, "", "Enter new key: ", false},
        {"^C at the old key", {"-x"}, "", "Enter old key: ", true},
    };
    for (const auto& c : cases) {
        run_options o;
        o.use_tty = true;
        o.args = c.args;
        harness::running_program p = harness::start(o);
        std::string err;
        if (!c.answered.empty()) {
            ASSERT_TRUE(cli_test::read_stderr_until(p, err, "Enter encryption key: ")) << c.label;
            ASSERT_TRUE(cli_test::wait_for_echo(p.master_fd, false)) << c.label;
            cli_test::type(p.master_fd, c.answered);
        }
        ASSERT_TRUE(cli_test::read_stderr_until(p, err, c.prompt)) << c.label << ": " << err;
        ASSERT_TRUE(cli_test::wait_for_echo(p.master_fd, false)) << c.label;
        if (c.by_terminal)
            cli_test::type(p.master_fd, "\x03");
        else
            kill(p.pid, SIGINT);
        ASSERT_TRUE(cli_test::wait_until_ended(p.pid)) << c.label;
        EXPECT_NE(cli_test::local_modes(p.master_fd) & ECHO, 0u) << c.label;
        run_result r = harness::finish(p);
        EXPECT_EQ(r.signal, SIGINT) << c.label << ": status " << r.status;
        EXPECT_EQ(r.out, "") << c.label;
    }
}

TEST(Prompts, AnIgnoredInterruptStaysIgnored) {
    if (harness::under_emulation())
        GTEST_SKIP() << "qemu-user catches SIGINT itself even when the program inherits it "
                        "ignored, and the program's blocked read then fails with EINTR";
    run_options o;
    o.args = {"-b"};
    o.input = plain;
    o.use_tty = true;
    o.child_setup = [] { signal(SIGINT, SIG_IGN); };
    harness::running_program p = harness::start(o);
    std::string err;
    ASSERT_TRUE(cli_test::read_stderr_until(p, err, "Enter encryption key: "));
    ASSERT_TRUE(cli_test::wait_for_echo(p.master_fd, false));
    kill(p.pid, SIGINT);
    cli_test::type(p.master_fd, "still here\n");
    run_result r = harness::finish(p);
    EXPECT_EQ(r.status, 0) << r.err;
    expect_key(r.out, "still here", "after an ignored interrupt");
}

// ---- Wiping keywords from the argument list and the environment -----------------------------

TEST(Wiping, KeyArgumentsAndVariablesAreZeroBytesAfterwards) {
    if (harness::under_emulation())
        GTEST_SKIP() << "under emulation /proc/<pid>/cmdline and environ show the emulator's "
                        "copies, which the program cannot reach";
    struct wipe_case {
        std::string label;
        std::vector<std::string> args;
        std::string proc_file;
        std::string before; // what the process started with
        std::string after;  // what it holds while waiting at the prompt
    };
    const std::string bin = std::string(OSTREL_BIN_DIR) + "/ostrel";
    const std::string z9(9, '\0');
    const std::vector<wipe_case> cases = {
        {"-K",
         {"-x", "-K", "oldsecret"},
         "cmdline",
         bin + '\0' + "-x" + '\0' + "-K" + '\0' + "oldsecret" + '\0',
         bin + '\0' + "-x" + '\0' + "-K" + '\0' + z9 + '\0'},
        {"-K attached",
         {"-x", "-Koldsecret"},
         "cmdline",
         bin + '\0' + "-x" + '\0' + "-Koldsecret" + '\0',
         bin + '\0' + "-x" + '\0' + "-K" + z9 + '\0'},
        {"--key=",
         {"-x", "--key=oldsecret"},
         "cmdline",
         bin + '\0' + "-x" + '\0' + "--key=oldsecret" + '\0',
         bin + '\0' + "-x" + '\0' + "--key=" + z9 + '\0'},
        {"-H",
         {"-x", "-H", "newsecret"},
         "cmdline",
         bin + '\0' + "-x" + '\0' + "-H" + '\0' + "newsecret" + '\0',
         bin + '\0' + "-x" + '\0' + "-H" + '\0' + z9 + '\0'},
        {"-E",
         {"-x", "-E", "OSTREL_WIPE"},
         "environ",
         std::string("OSTREL_WIPE=envsecret") + '\0',
         "OSTREL_WIPE=" + z9 + '\0'},
        {"-F",
         {"-x", "-F", "OSTREL_WIPE"},
         "environ",
         std::string("OSTREL_WIPE=envsecret") + '\0',
         "OSTREL_WIPE=" + z9 + '\0'},
    };
    bool environ_skipped = false;
    for (const auto& c : cases) {
        // The program is not dumpable, so its /proc/<pid>/environ belongs
        // to root and only root reads it.
        if (c.proc_file == "environ" && geteuid() != 0) {
            environ_skipped = true;
            continue;
        }
        run_options o;
        o.args = c.args;
        o.use_tty = true;
        o.env_set = {{"OSTREL_WIPE", "envsecret"}};
        harness::running_program p = harness::start(o);
        std::string err;
        ASSERT_TRUE(cli_test::read_stderr_until(p, err, "key: ")) << c.label << ": " << err;
        std::string proc = cli_test::read_proc(p.pid, c.proc_file.c_str());
        kill(p.pid, SIGKILL);
        harness::finish(p);
        if (c.proc_file == "cmdline") {
            EXPECT_EQ(proc.size(), c.before.size()) << c.label;
            EXPECT_TRUE(proc == c.after) << c.label << ": " << ::testing::PrintToString(proc);
        } else {
            EXPECT_NE(proc.find('\0' + c.after), std::string::npos)
                << c.label << ": " << ::testing::PrintToString(proc);
            EXPECT_EQ(proc.find("envsecret"), std::string::npos) << c.label;
        }
    }
    if (environ_skipped)
        GTEST_SKIP()
            << "-E and -F not checked: /proc/<pid>/environ of the (not dumpable) program is root's";
}

} // namespace
