// Another user swaps names under a recursive run at every step where that
// could matter: after the decision, while a question waits, before the open,
// before owner and mode are set, before the rename and before the input's
// removal. The swap puts a link to a victim directory in place of the
// working directory, a link to the victim file in place of the file, or a
// decoy file of the attacker's in place of the file. Whatever the moment,
// the victim keeps owner, mode, content and name, the decoy is never written
// or given away, and the run either finishes the original file or reports
// it. Last, two moments of files written side by side: a signal just after
// a worker created its temporary file, and a question behind a file still
// being written.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/testing.h"
#include "files/file_steps.h"
#include "files/files.h"
#include "support/harness.h"
#include "tests/support/stream_ops.h"

namespace {

enum class swap_kind { parent_link, file_link, file_decoy, output_link, output_directory };
enum class outcome { done, loop, changed, exists, kept };

struct race_case {
    const char* label;
    int mode;
    bool temp;
    bool protect; // the input is write-protected (its question; the raised write bit)
    file_step step;
    swap_kind swap;
    outcome expected;
};

constexpr auto E = mode_encrypt, D = mode_decrypt, X = mode_keychange;
using S = file_step;
using K = swap_kind;
using O = outcome;

// The question is the overwrite question for encryption and decryption (an
// output exists), the write-protection question for key change.
const race_case cases[] = {
    {"enc_parent_decided", E, false, false, S::decided, K::parent_link, O::done},
    {"enc_parent_question", E, false, false, S::question, K::parent_link, O::done},
    {"enc_parent_rename", E, false, false, S::rename, K::parent_link, O::done},
    {"enc_link_decided", E, false, false, S::decided, K::file_link, O::loop},
    {"enc_link_question", E, false, false, S::question, K::file_link, O::loop},
    {"enc_link_open", E, false, false, S::open, K::file_link, O::loop},
    {"enc_link_attributes", E, false, false, S::attributes, K::file_link, O::done},
    {"enc_decoy_open", E, false, false, S::open, K::file_decoy, O::changed},
    {"enc_protected_decoy_question", E, false, true, S::question, K::file_decoy, O::changed},
    {"enc_protected_link_open", E, false, true, S::open, K::file_link, O::loop},
    {"dec_parent_question", D, false, false, S::question, K::parent_link, O::done},
    {"dec_link_question", D, false, false, S::question, K::file_link, O::loop},
    {"dec_decoy_decided", D, false, false, S::decided, K::file_decoy, O::changed},
    {"dec_link_attributes", D, false, false, S::attributes, K::file_link, O::done},
    {"key_protected_link_question", X, false, true, S::question, K::file_link, O::loop},
    {"key_protected_decoy_question", X, false, true, S::question, K::file_decoy, O::changed},
    {"key_parent_open", X, false, false, S::open, K::parent_link, O::done},
    {"key_link_attributes", X, false, false, S::attributes, K::file_link, O::done},
    {"tmp_enc_parent_open", E, true, false, S::open, K::parent_link, O::done},
    {"tmp_enc_parent_remove", E, true, false, S::remove, K::parent_link, O::done},
    {"tmp_enc_link_question", E, true, false, S::question, K::file_link, O::loop},
    {"tmp_enc_link_open", E, true, false, S::open, K::file_link, O::loop},
    {"tmp_enc_decoy_open", E, true, false, S::open, K::file_decoy, O::changed},
    {"tmp_enc_link_rename", E, true, false, S::rename, K::file_link, O::changed},
    {"tmp_enc_decoy_remove", E, true, false, S::remove, K::file_decoy, O::changed},
    {"tmp_dec_link_decided", D, true, false, S::decided, K::file_link, O::loop},
    {"tmp_dec_decoy_question", D, true, false, S::question, K::file_decoy, O::changed},
    {"tmp_dec_link_remove", D, true, false, S::remove, K::file_link, O::changed},
    {"tmp_dec_parent_attributes", D, true, false, S::attributes, K::parent_link, O::done},
    {"tmp_key_parent_open", X, true, false, S::open, K::parent_link, O::done},
    {"tmp_key_decoy_open", X, true, false, S::open, K::file_decoy, O::changed},
    {"tmp_key_link_attributes", X, true, false, S::attributes, K::file_link, O::done},
    // A link planted under an output name that was free at the decision.
    {"enc_output_link_rename", E, false, false, S::rename, K::output_link, O::kept},
    {"tmp_enc_output_link_open", E, true, false, S::open, K::output_link, O::exists},
    {"tmp_enc_output_link_attributes", E, true, false, S::attributes, K::output_link, O::exists},
    {"tmp_dec_output_link_rename", D, true, false, S::rename, K::output_link, O::exists},
    // A link planted, once the directory was read, under an output name it
    // did not list: in place the file is left as it was, through a temporary
    // file the result does not take the name.
    {"enc_output_link_decided", E, false, false, S::decided, K::output_link, O::exists},
    {"tmp_dec_output_link_decided", D, true, false, S::decided, K::output_link, O::exists},
    // A directory made under the output name once the content is transformed:
    // the file keeps its name, and the run says what it now holds.
    {"enc_output_directory_rename", E, false, false, S::rename, K::output_directory, O::kept},
    {"dec_output_directory_rename", D, false, false, S::rename, K::output_directory, O::kept},
};

void PrintTo(const race_case& c, std::ostream* os) { *os << c.label; }

std::string encrypted(const std::string& plain, const char* keyword) {
    std::FILE* in = fmemopen(const_cast<char*>(plain.data()), plain.size(), "rb");
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    EXPECT_EQ(encrypt_file(in, out, keyword), 0);
    std::fclose(in);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

std::string decrypted(const std::string& data, const char* keyword, bool* ok) {
    std::FILE* in = fmemopen(const_cast<char*>(data.data()), data.size(), "rb");
    char* text = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&text, &size);
    *ok = decrypt_file(in, out, keyword, 0) == 0;
    std::fclose(in);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

// Whether `content` is the finished result of `mode` on `plain`.
bool is_result(const std::string& content, int mode, const std::string& plain) {
    if (mode == mode_decrypt) return content == plain;
    bool ok = false;
    const std::string back = decrypted(content, mode == mode_keychange ? "n" : "k", &ok);
    return ok && back == plain;
}

std::vector<std::string> listing(const std::string& directory) {
    std::vector<std::string> names;
    if (DIR* d = opendir(directory.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                names.push_back(e->d_name);
        closedir(d);
    }
    return names;
}

struct stat stat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st;
}

// What the hook does, set up in the child before the run.
const race_case* active = nullptr;
std::string work_dir, victim_dir, input_name, output_name;
bool swapped = false;

void swap_now(file_step step, const char* shown) {
    const std::string input = work_dir + "/" + input_name;
    if (swapped || step != active->step || input != shown) return;
    swapped = true;
    switch (active->swap) {
    case swap_kind::parent_link:
        if (rename(work_dir.c_str(), (work_dir + ".moved").c_str()) != 0 ||
            symlink(victim_dir.c_str(), work_dir.c_str()) != 0)
            _exit(90);
        break;
    case swap_kind::file_link:
        if (rename(input.c_str(), (input + ".moved").c_str()) != 0 ||
            symlink((victim_dir + "/" + input_name).c_str(), input.c_str()) != 0)
            _exit(90);
        break;
    case swap_kind::output_link:
        if (symlink((victim_dir + "/" + input_name).c_str(),
                    (work_dir + "/" + output_name).c_str()) != 0)
            _exit(90);
        break;
    case swap_kind::output_directory:
        if (mkdir((work_dir + "/" + output_name).c_str(), 0755) != 0) _exit(90);
        break;
    case swap_kind::file_decoy:
        if (rename(input.c_str(), (input + ".moved").c_str()) != 0) _exit(90);
        harness::write_file(input, "the attacker's decoy");
        if (chmod(input.c_str(), 0644) != 0) _exit(90);
        break;
    }
}

struct race_seams : ::testing::TestWithParam<race_case> {};

TEST_P(race_seams, the_victim_stays_as_it_was_and_the_file_is_done_or_reported) {
    const race_case& c = GetParam();
    harness::temp_dir dir;
    const char* keyword = "k";
    const bool encrypting = c.mode == mode_encrypt;
    const std::string plain = "the owner's content, which must end up nowhere else";
    const std::string data = encrypting ? plain : encrypted(plain, keyword);
    input_name = encrypting ? "f" : "f.osl";
    output_name = c.mode == mode_keychange ? "f.osl" : encrypting ? "f.osl" : "f";
    work_dir = dir / "work";
    victim_dir = dir / "victim";
    ASSERT_EQ(mkdir(work_dir.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(victim_dir.c_str(), 0755), 0);
    harness::write_file(work_dir + "/" + input_name, data);
    ASSERT_EQ(chmod((work_dir + "/" + input_name).c_str(), c.protect ? 0444 : 0644), 0);
    if (output_name != input_name && c.swap != swap_kind::output_link &&
        c.swap != swap_kind::output_directory)
        harness::write_file(work_dir + "/" + output_name, "to be overwritten");
    // The victim looks like the input, so a redirected run would transform it.
    const std::string victim = victim_dir + "/" + input_name;
    harness::write_file(victim, data);
    ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
    const bool root = harness::can_drop_privileges();
    if (root) {
        // The working tree is another user's; the victim is root's.
        ASSERT_EQ(chown(work_dir.c_str(), harness::unprivileged_user, harness::unprivileged_user),
                  0);
        ASSERT_EQ(chown((work_dir + "/" + input_name).c_str(), harness::unprivileged_user,
                        harness::unprivileged_user),
                  0);
    }
    const struct stat victim_before = stat_of(victim);
    const std::string err_path = dir / "stderr";
    const std::string answers = dir / "answers";
    harness::write_file(answers, "y\ny\n");

    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setsid(); // no terminal: the questions are answered on standard input
        int in = open(answers.c_str(), O_RDONLY);
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0) _exit(91);
        static char key1[] = "k", key2[] = "n";
        static run_context run;
        run.options.name = "ostrel";
        run.keyword = key1;
        run.keyword2 = key2;
        run.options.mode = c.mode;
        run.options.suffix = ".osl";
        run.options.recursive = 1;
        run.options.strictsuffix = 1; // the existing output is not a file to encrypt
        run.options.tmpfiles = c.temp;
        active = &c;
        file_step_hook = swap_now;
        process_path(run, work_dir.c_str());
        std::fflush(stderr);
        if (!swapped) _exit(92);
        _exit(run.errors ? 8 : run.rejects ? 4 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    const std::string err = harness::read_file(err_path);
    ASSERT_NE(WEXITSTATUS(status), 92) << "the step was never reached";
    ASSERT_LT(WEXITSTATUS(status), 90) << err;

    // The victim: same file, owner, mode and content, still under its name.
    const struct stat victim_after = stat_of(victim);
    EXPECT_EQ(victim_after.st_ino, victim_before.st_ino);
    EXPECT_EQ(victim_after.st_uid, victim_before.st_uid);
    EXPECT_EQ(victim_after.st_mode, victim_before.st_mode);
    EXPECT_EQ(harness::read_file(victim), data);
    EXPECT_EQ(listing(victim_dir).size(), 1u);

    const std::string shown_input = "ostrel: " + work_dir + "/" + input_name + ": ";
    switch (c.expected) {
    case outcome::done:
        // Decrypting the whole directory may also meet the old output
        // first, which it rejects.
        EXPECT_TRUE(WEXITSTATUS(status) == 0 ||
                    (c.mode == mode_decrypt && WEXITSTATUS(status) == 4))
            << err;
        break;
    case outcome::loop:
        EXPECT_EQ(WEXITSTATUS(status), 8);
        EXPECT_NE(err.find(shown_input + std::strerror(ELOOP) + "\n"), std::string::npos) << err;
        break;
    case outcome::exists:
        EXPECT_EQ(WEXITSTATUS(status), 8);
        EXPECT_NE(err.find(std::string(": ") + std::strerror(EEXIST) + "\n"), std::string::npos)
            << err;
        EXPECT_EQ(err.find("changed"), std::string::npos) << err;
        // Not a byte of the owner's file was written.
        EXPECT_EQ(err.find("now holds"), std::string::npos) << err;
        EXPECT_EQ(harness::read_file(work_dir + "/" + input_name), data);
        break;
    case outcome::kept:
        EXPECT_EQ(WEXITSTATUS(status), 8);
        EXPECT_EQ(err, "ostrel: could not rename " + work_dir + "/" + input_name + " to " +
                           work_dir + "/" + output_name + ": " + std::strerror(EEXIST) +
                           "\nostrel: " + work_dir + "/" + input_name + " now holds the " +
                           (encrypting ? "encrypted" : "decrypted") + " content\n");
        break;
    case outcome::changed:
        EXPECT_EQ(WEXITSTATUS(status), 8);
        EXPECT_NE(err.find(shown_input + "changed while being processed\n"), std::string::npos)
            << err;
        break;
    }
    if (c.swap == swap_kind::file_decoy) {
        const std::string decoy = work_dir + "/" + input_name;
        EXPECT_EQ(harness::read_file(decoy), "the attacker's decoy");
        EXPECT_EQ(stat_of(decoy).st_mode & 07777, 0644u);
        EXPECT_EQ(stat_of(decoy).st_uid, geteuid());
    }
    // The owner's file: transformed when the run finished it, as it was
    // when the run reported it; under its own name or the one the attacker
    // moved it to, in the directory it was in.
    const std::string here = c.swap == swap_kind::parent_link ? work_dir + ".moved" : work_dir;
    bool found = false;
    for (const std::string& name : listing(here)) {
        const std::string content = harness::read_file(here + "/" + name);
        found = found || (c.expected == outcome::done || c.expected == outcome::kept
                              ? is_result(content, c.mode, plain)
                              : content == data);
    }
    EXPECT_TRUE(found) << "the owner's file is lost";
}

INSTANTIATE_TEST_SUITE_P(steps, race_seams, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.label); });

// A file system hands a freed inode number straight to the next new file.
// A file or directory made on the number of one the run has finished, while
// the run goes on, is new to the run and is done like any other.
std::string reuse_dir, reuse_trigger;
bool reused = false;

void replace_finished(file_step step, const char* shown) {
    if (step != file_step::decided || reuse_trigger != shown) return;
    struct stat old_st {};
    const bool directory = stat((reuse_dir + "/old").c_str(), &old_st) == 0;
    if (directory) {
        if (unlink((reuse_dir + "/old/inner.osl").c_str()) != 0 ||
            rmdir((reuse_dir + "/old").c_str()) != 0 || mkdir((reuse_dir + "/new").c_str(), 0755))
            _exit(90);
        harness::write_file(reuse_dir + "/new/inner", "the newcomer's content");
    } else {
        if (stat((reuse_dir + "/old.osl").c_str(), &old_st) != 0 ||
            unlink((reuse_dir + "/old.osl").c_str()) != 0)
            _exit(90);
        harness::write_file(reuse_dir + "/new", "the newcomer's content");
    }
    reused = stat_of(reuse_dir + "/new").st_ino == old_st.st_ino;
}

TEST(reused_numbers, a_newcomer_on_the_number_of_a_finished_file_is_done) {
    for (const bool directory : {false, true}) {
        SCOPED_TRACE(directory ? "directory" : "file");
        harness::temp_dir dir;
        reuse_dir = dir.path;
        reuse_trigger = dir / "next";
        if (directory) {
            ASSERT_EQ(mkdir((dir / "old").c_str(), 0755), 0);
        }
        harness::write_file(dir / (directory ? "old/inner" : "old"), "finished first");
        harness::write_file(dir / "next", "done in between");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            static char key[] = "k";
            static run_context run;
            run.options.name = "ostrel";
            run.keyword = key;
            run.options.recursive = 1;
            file_step_hook = replace_finished;
            for (const char* name : {"old", "next", "new"})
                if (process_path(run, (reuse_dir + "/" + name).c_str()) != ::outcome::done)
                    _exit(91);
            _exit(!reused ? 93 : run.errors ? 8 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 93) {
            std::printf("skipped: the file system gave the newcomer another number\n");
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const std::string done = dir / (directory ? "new/inner.osl" : "new.osl");
        ASSERT_TRUE(harness::exists(done)) << "the newcomer was taken for the finished file";
        bool ok = false;
        EXPECT_EQ(decrypted(harness::read_file(done), "k", &ok), "the newcomer's content");
        EXPECT_TRUE(ok);
    }
}

// Files side by side (-j 4), operands a and b, b's output taken (its
// question waits for a): a worker is held at a moment of a's until another
// thread of the run is seen waiting where the code must make it wait (its
// system call in /proc), so the order is the code's, not the scheduler's.
std::atomic<bool> fired{false}, asked{false};

// A thread of this process other than the caller (only `only`, unless 0;
// never `not_this`) that waits in the system call `number`; 0 when none
// does.
long thread_in(long number, long only = 0, long not_this = 0) {
    long found = 0;
    DIR* d = opendir("/proc/self/task");
    while (const dirent* e = d ? readdir(d) : nullptr) {
        const long tid = std::atol(e->d_name);
        std::ifstream f("/proc/self/task/" + std::to_string(tid) + "/syscall");
        long call = -1;
        if (tid > 0 && tid != long(gettid()) && tid != not_this && (!only || tid == only) &&
            f >> call && call == number)
            found = tid;
    }
    if (d) closedir(d);
    return found;
}

#ifdef SYS_poll
constexpr long poll_call = SYS_poll;
#else
constexpr long poll_call = SYS_ppoll;
#endif

// The bound only keeps a run that went wrong from hanging.
template <class F> void spin_until(F seen) {
    for (long spins = 0; !seen(); ++spins) {
        if (spins == 1000000) _exit(94);
        sched_yield();
    }
}

// a's temporary file exists and is not yet known to the thread that takes
// the signals: that thread, sent SIGTERM, must wait for it (on the worker's
// lock) rather than find nothing to remove. It waits for signals in poll
// (the planning thread may wait there too) or, without a descriptor to
// spare, in sigtimedwait.
void terminate_at_creation(file_step step, const char*) {
    if (step != file_step::created || fired.exchange(true)) return;
    long taker = 0;
    spin_until([&] {
        taker = thread_in(poll_call, 0, getpid());
        return taker != 0 || (taker = thread_in(SYS_rt_sigtimedwait)) != 0;
    });
    kill(getpid(), SIGTERM);
    spin_until([&] { return thread_in(SYS_futex, taker) != 0; });
}

// a is still being written when b's question comes: the question waits
// (this thread's poll) until a's messages are out. Standard error gets a
// mark where the answer is read. The planning thread may write a itself
// while it waits; then there is nothing to hold.
void question_after_a(file_step step, const char* shown) {
    if (step == file_step::open && std::string(shown) == "a" && !fired.exchange(true) &&
        gettid() != getpid())
        spin_until([] { return asked || thread_in(poll_call, getpid()) != 0; });
    if (step == file_step::question && !asked.exchange(true))
        (void)!write(STDERR_FILENO, "(answered)\n", 11);
}

// a's writes fail with the device full once b is being written by the
// planning thread and c waits for a worker (-j 2: the worker on a, the
// planning thread on b): the run ends, b finishes, c is never begun. b is
// planned only once the worker has a, and goes on only when the worker is
// back waiting, after it let c be.
std::atomic<long> a_thread{0};
std::atomic<bool> b_reached{false};
void fail_a_while_c_waits(file_step step, const char* shown) {
    const std::string name = shown;
    if (step == file_step::decided && name == "b") spin_until([] { return a_thread != 0; });
    if (step != file_step::created) return;
    if (name == "a.osl" && !fired.exchange(true)) {
        if (gettid() == getpid()) _exit(93);
        a_thread = gettid();
        spin_until([] { return b_reached.load(); });
        const int full = open("/dev/full", O_WRONLY);
        DIR* d = opendir("/proc/self/fd");
        while (const dirent* e = d ? readdir(d) : nullptr) {
            char target[4096] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            if (readlink(link.c_str(), target, sizeof target - 1) > 0 &&
                std::strstr(target, "/a.osl.") && dup2(full, std::atoi(e->d_name)) < 0)
                _exit(90);
        }
        if (d) closedir(d);
        close(full);
    } else if (name == "b.osl") {
        b_reached = true;
        spin_until([] { return a_thread != 0 && thread_in(SYS_futex, a_thread) != 0; });
    }
}

struct jobs_moment {
    const char* label;
    void (*hook)(file_step, const char*);
    bool temp;
    int jobs;
    std::vector<std::string> files; // made before the run, each holding its name; the
                                    // operands are those without a suffix
    int status;
    std::vector<std::string> names;
    std::string err;
};

TEST(side_by_side_moments,
     a_signal_removes_a_new_temporary_a_question_waits_a_failed_write_starts_no_file) {
    std::ifstream probe("/proc/self/syscall");
    std::string first;
    if (harness::under_emulation() || !(probe >> first))
        GTEST_SKIP() << "no /proc/<pid>/task/<tid>/syscall showing this process's own calls";
    const jobs_moment moments[] = {
        {"signal at creation",
         terminate_at_creation,
         true,
         4,
         {"a", "b", "b.osl"},
         6,
         {"a", "b", "b.osl"},
         ""},
        {"question",
         question_after_a,
         false,
         4,
         {"a", "b", "b.osl"},
         0,
         {"a.osl", "b.osl"},
         "Encrypting a\nostrel: b.osl already exists; overwrite (y or n)? (answered)\n"
         "Encrypting b\n"},
        {"write error ends the run",
         fail_a_while_c_waits,
         true,
         2,
         {"a", "b", "c"},
         3,
         {"a", "b.osl", "c"},
         "Encrypting a\nostrel: a: No space left on device\nEncrypting b\n"},
    };
    for (const jobs_moment& m : moments) {
        SCOPED_TRACE(m.label);
        harness::temp_dir dir;
        static std::vector<char*> operands;
        operands.clear();
        for (const std::string& name : m.files) {
            harness::write_file(dir / name, name);
            if (name.find('.') == std::string::npos) operands.push_back(strdup(name.c_str()));
        }
        harness::write_file(dir / "answers", "y\n");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            setsid(); // no terminal: the question is answered on standard input
            const int in = open((dir / "answers").c_str(), O_RDONLY);
            const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0 ||
                unlink((dir / "answers").c_str()) != 0 || chdir(dir.path.c_str()) != 0)
                _exit(91);
            static char key[] = "k";
            static run_context run;
            run.options.name = "ostrel";
            run.keyword = key;
            run.options.verbosity = 1;
            run.options.tmpfiles = m.temp;
            run.options.jobs = m.jobs;
            run.options.infiles = operands.data();
            run.options.infile_count = int(operands.size());
            file_step_hook = m.hook;
            const ::outcome result = run_file_list(run);
            _exit(!fired ? 92 : result == ::outcome::fatal_io ? 3 : run.errors ? 8 : 0);
        }
        for (char* operand : operands) std::free(operand);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 93) {
            std::printf("%s: the planning thread took the first file; nothing held\n", m.label);
            continue;
        }
        const std::string err = harness::read_file(dir / "err");
        EXPECT_EQ(WEXITSTATUS(status), m.status) << err;
        EXPECT_EQ(err, m.err);
        ASSERT_EQ(unlink((dir / "err").c_str()), 0);
        std::vector<std::string> names = listing(dir.path);
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, m.names) << "a temporary file was left behind, or a file not done";
    }
}

} // namespace
