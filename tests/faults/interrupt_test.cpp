// Interrupts and kills at random moments of runs over many files, and at
// the exact moments between finishing a file and giving it its name.
//
// Afterwards every file must be wholly original under its own name or wholly
// transformed under the output name, except the one file that a double
// interrupt may leave partly transformed; no temporary file may be left;
// files after the interrupted one are untouched. A kill (which no program
// can catch) must leave every input file intact.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "faults/fault_support.h"

namespace {

using namespace std::chrono;

const std::string key = "key";
constexpr char long_notice[] =
    "Interrupt - will exit after current file.\n"
    "Press CTRL-C twice to exit now (warning: this can lead to loss of data).\n";

enum class state { original, transformed, partial, broken };

// Files big enough that most of a run's time is spent writing them, in
// memory (/dev/shm) where available so that the runs stay fast.
struct scratch_dir {
    std::string path;
    scratch_dir() {
        char shm[] = "/dev/shm/ostrel-faults-XXXXXX";
        char tmp[] = "/tmp/ostrel-faults-XXXXXX";
        const char* made = mkdtemp(shm);
        if (!made) made = mkdtemp(tmp);
        if (!made) throw std::runtime_error("mkdtemp");
        path = made;
    }
    ~scratch_dir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

struct file_set {
    scratch_dir dir;
    std::vector<std::string> names;
    std::vector<std::string> contents;

    explicit file_set(int count, unsigned seed) {
        static const std::string block = harness::random_bytes(1 << 20, 77);
        std::mt19937 random(seed);
        for (int i = 0; i < count; ++i) {
            names.push_back('f' + std::to_string(100 + i));
            // 3 to 8 MiB, each file different from its first bytes on.
            std::string content = harness::random_bytes(64, seed + unsigned(i));
            for (unsigned n = 3 + random() % 6; n > 0; --n) content += block;
            content.resize(content.size() - random() % 4096);
            contents.push_back(std::move(content));
            harness::write_file(dir / names.back(), contents.back());
        }
    }

    state state_of(std::size_t i) const {
        const bool plain_there = harness::exists(dir / names[i]);
        const bool result_there = harness::exists(dir / (names[i] + ".osl"));
        if (plain_there && !result_there)
            return harness::read_file(dir / names[i]) == contents[i] ? state::original
                                                                     : state::partial;
        if (!plain_there && result_there) {
            bool ok = false;
            const std::string plain =
                faults::decrypt(harness::read_file(dir / (names[i] + ".osl")), key, &ok);
            return ok && plain == contents[i] ? state::transformed : state::broken;
        }
        return state::broken;
    }

    // The names that should be there for these states; anything else
    // (a temporary file) is left over.
    std::set<std::string> expected_names(const std::vector<state>& states) const {
        std::set<std::string> out;
        for (std::size_t i = 0; i < names.size(); ++i)
            out.insert(states[i] == state::transformed ? names[i] + ".osl" : names[i]);
        return out;
    }

    harness::run_options options(std::vector<std::string> extra) const {
        harness::run_options o;
        o.args = std::move(extra);
        // One after the other unless `extra` says otherwise (a later -j).
        o.args.insert(o.args.begin(), "-j1");
        o.args.insert(o.args.end(), {"-K", key});
        o.args.insert(o.args.end(), names.begin(), names.end());
        o.cwd = dir.path;
        return o;
    }
};

// The run's wall time without any signal, to place the signals in.
milliseconds calibrate(const std::vector<std::string>& extra) {
    file_set files(10, 99);
    auto start = steady_clock::now();
    auto r = harness::run(files.options(extra));
    EXPECT_EQ(r.status, 0) << r.err;
    return duration_cast<milliseconds>(steady_clock::now() - start);
}

struct outcome {
    harness::run_result result;
    std::vector<state> states;
};

outcome interrupt_run(const file_set& files, std::vector<std::string> extra, milliseconds first,
                      milliseconds second_after, int signal_number, int signals) {
    harness::running_program p = harness::start(files.options(std::move(extra)));
    std::this_thread::sleep_for(first);
    kill(p.pid, signal_number);
    if (signals == 2) {
        std::this_thread::sleep_for(second_after);
        kill(p.pid, signal_number);
    }
    outcome o{harness::finish(p), {}};
    int transformed = 0;
    for (std::size_t i = 0; i < files.names.size(); ++i) {
        o.states.push_back(files.state_of(i));
        transformed += o.states.back() == state::transformed;
    }
    std::cout << "[ trial    ] signal " << signal_number << (signals == 2 ? " twice" : "")
              << " after " << first.count() << " ms: status " << o.result.status << ", "
              << transformed << " of " << files.names.size() << " files done\n";
    return o;
}

std::string describe(const outcome& o) {
    static const char* const names[] = {"original", "transformed", "partial", "broken"};
    std::string text = "status " + std::to_string(o.result.status) + ", files:";
    for (state s : o.states) text += std::string(" ") + names[int(s)];
    return text + "\nstandard error: " + o.result.err;
}

// Files are processed in order: a transformed prefix, at most `partial_allowed`
// partly transformed file right after it, then untouched files.
void expect_ordered(const outcome& o, int partial_allowed) {
    std::size_t i = 0;
    while (i < o.states.size() && o.states[i] == state::transformed) ++i;
    int partial = 0;
    if (i < o.states.size() && o.states[i] == state::partial && partial_allowed) {
        ++partial;
        ++i;
    }
    for (; i < o.states.size(); ++i)
        EXPECT_EQ(o.states[i], state::original) << "file " << i << ": " << describe(o);
    EXPECT_LE(partial, partial_allowed);
}

unsigned test_seed() {
    const unsigned seed = std::random_device{}();
    std::cout << "[ seed     ] " << seed << "\n";
    return seed;
}

TEST(RandomInterrupt, OneInterruptDuringInPlaceRuns) {
    const milliseconds span = calibrate({});
    std::mt19937 random(test_seed());
    for (int trial = 0; trial < 4; ++trial) {
        file_set files(10, 200 + unsigned(trial));
        const milliseconds at{random() % (span.count() + 1)};
        outcome o = interrupt_run(files, {}, at, {}, SIGINT, 1);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", SIGINT after " +
                     std::to_string(at.count()) + " ms");
        // 6: came while a file was written, which was finished; 130: came
        // between files (default action); 0: came after the run.
        ASSERT_TRUE(o.result.status == 6 || o.result.status == 130 || o.result.status == 0)
            << describe(o);
        if (o.result.status == 6)
            EXPECT_EQ(o.result.err, long_notice);
        else
            EXPECT_EQ(o.result.err, "");
        expect_ordered(o, 0);
        EXPECT_EQ(faults::listing(files.dir.path), files.expected_names(o.states)) << describe(o);
    }
}

TEST(RandomInterrupt, DoubleInterruptDuringInPlaceRuns) {
    const milliseconds span = calibrate({});
    std::mt19937 random(test_seed());
    for (int trial = 0; trial < 3; ++trial) {
        file_set files(10, 300 + unsigned(trial));
        const milliseconds at{random() % (span.count() + 1)};
        outcome o = interrupt_run(files, {}, at, milliseconds(5), SIGINT, 2);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", SIGINT twice after " +
                     std::to_string(at.count()) + " ms");
        ASSERT_TRUE(o.result.status == 6 || o.result.status == 130 || o.result.status == 0)
            << describe(o);
        // The only texts: the long notice, and after it the short one when
        // the second interrupt ended the process at once.
        EXPECT_TRUE(o.result.err.empty() || o.result.err == long_notice ||
                    o.result.err == std::string(long_notice) + "ostrel: interrupted.\n")
            << describe(o);
        expect_ordered(o, 1);
        EXPECT_EQ(faults::listing(files.dir.path), files.expected_names(o.states)) << describe(o);
    }
}

TEST(RandomInterrupt, InterruptDuringTemporaryFileRuns) {
    const milliseconds span = calibrate({"-T"});
    std::mt19937 random(test_seed());
    for (int trial = 0; trial < 4; ++trial) {
        file_set files(10, 400 + unsigned(trial));
        const milliseconds at{random() % (span.count() + 1)};
        outcome o = interrupt_run(files, {"-T"}, at, {}, SIGINT, 1);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", SIGINT after " +
                     std::to_string(at.count()) + " ms");
        ASSERT_TRUE(o.result.status == 6 || o.result.status == 130 || o.result.status == 0)
            << describe(o);
        EXPECT_EQ(o.result.err, ""); // the temporary-file handler says nothing
        expect_ordered(o, 0);
        EXPECT_EQ(faults::listing(files.dir.path), files.expected_names(o.states)) << describe(o);
    }
}

TEST(RandomKill, KillDuringTemporaryFileRunsKeepsEveryInput) {
    const milliseconds span = calibrate({"-T"});
    std::mt19937 random(test_seed());
    for (int trial = 0; trial < 3; ++trial) {
        file_set files(10, 500 + unsigned(trial));
        const milliseconds at{random() % (span.count() + 1)};
        outcome o = interrupt_run(files, {"-T"}, at, {}, SIGKILL, 1);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", SIGKILL after " +
                     std::to_string(at.count()) + " ms");
        ASSERT_TRUE(o.result.status == 128 + SIGKILL || o.result.status == 0) << describe(o);
        // Every input is either still there and intact, or gone because its
        // complete result has its name; at most one output (the one being
        // written, maybe under a temporary name) is incomplete.
        int incomplete = 0;
        for (std::size_t i = 0; i < files.names.size(); ++i) {
            if (harness::exists(files.dir / files.names[i])) {
                EXPECT_TRUE(harness::read_file(files.dir / files.names[i]) == files.contents[i])
                    << files.names[i] << " was changed; " << describe(o);
                if (harness::exists(files.dir / (files.names[i] + ".osl"))) ++incomplete;
            } else {
                EXPECT_EQ(o.states[i], state::transformed) << describe(o);
            }
        }
        EXPECT_LE(incomplete, 1) << describe(o);
    }
}

// SIGTERM and SIGHUP (a service manager, timeout(1), a closed terminal)
// are handled as SIGINT is: the file being written is finished and the run
// ends with status 6, with a notice naming the signal; between files they
// have their default action.
class RandomTermination : public testing::TestWithParam<int> {};

std::string notice_of(int signal_number) {
    return std::string("ostrel: ") + (signal_number == SIGTERM ? "SIGTERM" : "SIGHUP") +
           " - will exit after current file.\n";
}

TEST_P(RandomTermination, InPlaceRunsFinishTheFileBeingWritten) {
    const int sig = GetParam();
    const milliseconds span = calibrate({});
    std::mt19937 random(test_seed());
    for (int trial = 0; trial < 3; ++trial) {
        file_set files(6, 600 + unsigned(trial));
        const milliseconds at{random() % (span.count() + 1)};
        const bool twice = trial == 2;
        outcome o = interrupt_run(files, {}, at, milliseconds(5), sig, twice ? 2 : 1);
        SCOPED_TRACE("trial " + std::to_string(trial) + " after " + std::to_string(at.count()) +
                     " ms");
        ASSERT_TRUE(o.result.status == 6 || o.result.status == 128 + sig || o.result.status == 0)
            << describe(o);
        // The second of two signals may come between files, after the
        // first one's notice, and end the run by its default action.
        const std::string& err = o.result.err;
        if (!twice && o.result.status == 6)
            EXPECT_EQ(err, notice_of(sig));
        else if (!twice)
            EXPECT_EQ(err, "");
        else
            EXPECT_TRUE(err.empty() || err == notice_of(sig) ||
                        err == notice_of(sig) + "ostrel: interrupted.\n")
                << err;
        expect_ordered(o, twice ? 1 : 0);
        EXPECT_EQ(faults::listing(files.dir.path), files.expected_names(o.states)) << describe(o);
    }
}

TEST_P(RandomTermination, TemporaryFileRunsLeaveNoTemporaryFile) {
    const int sig = GetParam();
    const milliseconds span = calibrate({"-T"});
    std::mt19937 random(test_seed());
    for (int trial = 0; trial < 3; ++trial) {
        file_set files(6, 700 + unsigned(trial));
        const milliseconds at{random() % (span.count() + 1)};
        outcome o = interrupt_run(files, {"-T"}, at, milliseconds(5), sig, trial == 2 ? 2 : 1);
        SCOPED_TRACE("trial " + std::to_string(trial) + " after " + std::to_string(at.count()) +
                     " ms");
        ASSERT_TRUE(o.result.status == 6 || o.result.status == 128 + sig || o.result.status == 0)
            << describe(o);
        EXPECT_EQ(o.result.err, "");
        expect_ordered(o, 0);
        EXPECT_EQ(faults::listing(files.dir.path), files.expected_names(o.states)) << describe(o);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, RandomTermination, testing::Values(SIGTERM, SIGHUP),
                         [](const auto& info) {
                             return info.param == SIGTERM ? "SIGTERM" : "SIGHUP";
                         });

// Outputs under new names are written under temporary names too: after a
// kill at any moment a final name holds the complete result or nothing,
// and a leftover temporary file is private to the owner until complete.
TEST(RandomKill, KillDuringTemporaryFileRunsLeavesNoPartialResult) {
    const milliseconds span = calibrate({"-T"});
    std::mt19937 random(test_seed());
    for (int trial = 0; trial < 4; ++trial) {
        file_set files(6, 800 + unsigned(trial));
        const milliseconds at{random() % (span.count() + 1)};
        outcome o = interrupt_run(files, {"-T"}, at, {}, SIGKILL, 1);
        SCOPED_TRACE("trial " + std::to_string(trial) + ", SIGKILL after " +
                     std::to_string(at.count()) + " ms");
        for (std::size_t i = 0; i < files.names.size(); ++i) {
            const std::string result = files.dir / (files.names[i] + ".osl");
            if (!harness::exists(result)) continue;
            bool ok = false;
            EXPECT_TRUE(
                faults::decrypt(harness::read_file(result), key, &ok) == files.contents[i] && ok)
                << files.names[i] << ".osl is incomplete; " << describe(o);
        }
        // A leftover gets the input's mode only once it is complete.
        for (const std::string& name : faults::listing(files.dir.path)) {
            const std::size_t at = name.find(".osl.");
            if (at == std::string::npos) continue;
            struct stat st {};
            ASSERT_EQ(lstat((files.dir / name).c_str(), &st), 0);
            if ((st.st_mode & 07777) == 0600u) continue;
            std::size_t i = 0;
            while (files.names[i] != name.substr(0, at)) ++i;
            bool ok = false;
            EXPECT_TRUE(faults::decrypt(harness::read_file(files.dir / name), key, &ok) ==
                            files.contents[i] &&
                        ok)
                << name << " is readable by others but incomplete; " << describe(o);
        }
    }
}

// The moments between the end of the transformation and the file's final
// name, and the one just after a temporary file is created, hit exactly:
// the interposer sends the interrupt just before the rename (or the removal
// of the input) is done, or just after the creating open.
struct window_case {
    const char* title;
    std::vector<std::string> options;
    const char* op;   // the call the interrupt comes before (after, for create)
    const char* path; // that call's file, relative to the directory
    bool encrypted_input;
};

const window_case window_cases[] = {
    {"in_place_before_rename", {}, "rename", "a.txt", false},
    {"temporary_file_before_rename", {"-T", "-x", "-H", "new"}, "rename", "a.txt.osl.*", true},
    {"temporary_file_before_removing_input", {"-T"}, "unlink", "a.txt", false},
    {"temporary_file_just_created", {"-T"}, "create", "a.txt.osl.*", false},
    {"temporary_file_just_created_key_change",
     {"-T", "-x", "-H", "new"},
     "create",
     "a.txt.osl.*",
     true},
};

void PrintTo(const window_case& c, std::ostream* out) { *out << c.title; }

class InterruptWindow : public testing::TestWithParam<window_case> {};

TEST_P(InterruptWindow, FileIsWhollyOriginalOrWhollyTransformed) {
    const window_case& c = GetParam();
    harness::temp_dir dir;
    const std::string plain = harness::random_bytes(30000, 12);
    std::string content = plain;
    std::string input = "a.txt";
    if (c.encrypted_input) {
        content = faults::encrypt(plain, key);
        input = "a.txt.osl";
    }
    harness::write_file(dir / input, content);
    harness::run_options o;
    o.args = c.options;
    o.args.insert(o.args.end(), {"-K", key, input});
    o.cwd = dir.path;
    faults::inject(o, faults::interrupting(c.op, dir / c.path));

    auto r = harness::run(o);

    const std::set<std::string> names = faults::listing(dir.path);
    SCOPED_TRACE("status " + std::to_string(r.status) + ", standard error: " + r.err);
    if (c.encrypted_input) {
        // Key change: one file a.txt.osl, under the old key or the new one.
        ASSERT_EQ(names, std::set<std::string>{"a.txt.osl"}) << "a temporary file was left behind";
        bool old_ok = false, new_ok = false;
        const std::string now = harness::read_file(dir / "a.txt.osl");
        const bool was_kept = faults::decrypt(now, key, &old_ok) == plain && old_ok;
        const bool was_changed = faults::decrypt(now, "new", &new_ok) == plain && new_ok;
        EXPECT_TRUE(was_kept || was_changed);
    } else if (names == std::set<std::string>{"a.txt"}) {
        EXPECT_TRUE(harness::read_file(dir / "a.txt") == plain)
            << "a.txt holds transformed data under its original name";
    } else {
        ASSERT_EQ(names, std::set<std::string>{"a.txt.osl"}) << "input and output both left";
        bool ok = false;
        EXPECT_TRUE(faults::decrypt(harness::read_file(dir / "a.txt.osl"), key, &ok) == plain &&
                    ok);
    }
    // An interrupt while a file is being finished ends the run with 6.
    EXPECT_EQ(r.status, 6);
}

INSTANTIATE_TEST_SUITE_P(Faults, InterruptWindow, testing::ValuesIn(window_cases),
                         [](const auto& info) { return std::string(info.param.title); });

// Four files side by side, the interrupt at the moment the first of them
// is finished (its rename, or the creation of its temporary file): the
// files in flight finish whole (in place) or their temporary files go
// (-T), no later file starts, and the run ends with status 6. The same for
// a write error in f103 that ends the run (status 3): f103 is left as a
// failed write leaves it, every other file in flight finishes.
// "No later file starts" is read off the call log: each of the three other
// threads may have begun one file just before the signal (or before f103's
// last call), so at most three are first opened after it.
// Under a low descriptor limit (three jobs, a window of six) the planning
// thread soon writes the newest files while the workers write the oldest:
// a later file may be done and an earlier one untouched; every file is
// still whole or untouched.
struct jobs_interrupt_case {
    const char* title;
    std::vector<std::string> options;
    faults::fault fault;
    const char* err;
    int status = 6;
    rlim_t files = 0; // the descriptor limit, unless 0
};

// How many of `files` were first opened, or had their temporary file
// created, after the signal's line of the call log `log` (without one,
// after the last call on f103).
std::size_t begun_after_fault(const std::string& log, const file_set& files) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    const std::string prefix = files.dir.path + "/";
    std::size_t signal = lines.size(), last_call = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (signal == lines.size() && lines[i].rfind("signal ", 0) == 0) signal = i;
        if (lines[i].find(prefix + "f103") != std::string::npos) last_call = i;
    }
    const std::size_t mark = signal < lines.size() ? signal : last_call;
    std::set<std::string> before, after;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::istringstream words(lines[i]);
        std::string call, path;
        words >> call >> path;
        if ((call != "open" && call != "create") || path.rfind(prefix, 0) != 0) continue;
        const std::string name =
            path.substr(prefix.size(), path.find('.', prefix.size()) - prefix.size());
        if (i < mark)
            before.insert(name);
        else if (!before.count(name))
            after.insert(name);
    }
    return after.size();
}

TEST(JobsInterrupt, FilesInFlightEndWholeAndNoNewFileStarts) {
    const jobs_interrupt_case cases[] = {
        {"in place, before a rename", {}, faults::interrupting("rename", "f1*"), long_notice},
        {"temporary files, before a rename", {"-T"}, faults::interrupting("rename", "f1*"), ""},
        {"temporary files, just created", {"-T"}, faults::interrupting("create", "f1*"), ""},
        {"temporary files, a write error",
         {"-T"},
         faults::failing("write", "f103.osl.*"),
         "ostrel: f103: Input/output error\n",
         3},
        {"temporary files, the newest ahead",
         {"-T"},
         faults::interrupting("rename", "f1*"),
         "",
         6,
         48},
    };
    // qemu-user takes a process-directed signal on whichever host thread
    // it lands, and one that lands on a worker that holds it back never
    // reaches the thread waiting for it: seen in the arm64 run, where the
    // signal sent at a worker's creating open did not stop the run.
    if (harness::under_emulation())
        GTEST_SKIP() << "under emulation a signal sent from a worker may not reach the thread "
                        "that takes the signals";
    for (const jobs_interrupt_case& c : cases) {
        SCOPED_TRACE(c.title);
        file_set files(12, 900);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-j", "4"});
        harness::run_options o = files.options(args);
        if (const rlim_t limit = c.files)
            o.child_setup = [limit] {
                const rlimit files{limit, limit};
                setrlimit(RLIMIT_NOFILE, &files);
            };
        faults::fault fault = c.fault;
        fault.path = files.dir / fault.path;
        faults::inject(o, fault);
        const harness::temp_dir logs;
        o.env_set.push_back({"OSTREL_CALL_LOG", logs / "calls"});
        outcome result{harness::run(o), {}};
        for (std::size_t i = 0; i < files.names.size(); ++i)
            result.states.push_back(files.state_of(i));
        EXPECT_EQ(result.result.status, c.status) << describe(result);
        EXPECT_EQ(result.result.err, c.err);
        for (state s : result.states)
            EXPECT_TRUE(s == state::original || s == state::transformed) << describe(result);
        const std::string log = harness::read_file(logs / "calls");
        EXPECT_LE(begun_after_fault(log, files), 3U) << describe(result) << log;
        EXPECT_EQ(faults::listing(files.dir.path), files.expected_names(result.states))
            << describe(result);
    }
}

} // namespace
