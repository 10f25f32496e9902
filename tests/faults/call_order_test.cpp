// What the program asks of the system, checked call by call through the
// interposer: reads and writes that move fewer bytes than asked or are
// interrupted once still give the exact result, every file the program
// creates is created exclusively and private before anything is written to
// it, and a temporary-file run makes its result durable in the only safe
// order: result synced, renamed, directory synced, input removed.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "faults/fault_support.h"

namespace {

const std::string key = "key";

struct way {
    const char* title;
    std::vector<std::string> options;
    bool encrypted_input;
    const char* result_key; // the key the result decrypts under; null: the result is plaintext
};

const way ways[] = {
    {"in_place_encryption", {}, false, "key"},
    {"in_place_decryption", {"-d"}, true, nullptr},
    {"in_place_key_change", {"-x", "-H", "new"}, true, "new"},
    {"temporary_encryption", {"-T"}, false, "key"},
    {"temporary_decryption", {"-T", "-d"}, true, nullptr},
    {"temporary_key_change", {"-T", "-x", "-H", "new"}, true, "new"},
};

struct io_kind {
    const char* title;
    const char* variable;
    const char* value;
};

const io_kind io_kinds[] = {
    {"at_most_1000_bytes", "OSTREL_SHORT_IO", "1000"},
    {"at_most_7_bytes", "OSTREL_SHORT_IO", "7"},
    {"interrupted_once", "OSTREL_EINTR", "1"},
};

struct short_io : testing::TestWithParam<std::tuple<way, io_kind>> {};

TEST_P(short_io, gives_the_same_result) {
    const way& w = std::get<0>(GetParam());
    const io_kind& io = std::get<1>(GetParam());
    harness::temp_dir dir;
    const std::string plain = harness::random_bytes(30000, 21);
    const std::string input = w.encrypted_input ? "a.osl" : "a";
    harness::write_file(dir / input, w.encrypted_input ? faults::encrypt(plain, key) : plain);
    harness::run_options o;
    o.args = w.options;
    o.args.insert(o.args.end(), {"-K", key, input});
    o.cwd = dir.path;
    faults::inject(o, faults::fault{});
    o.env_set.push_back({io.variable, io.value});

    harness::run_result r = harness::run(o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string output = w.result_key ? "a.osl" : "a";
    EXPECT_EQ(faults::listing(dir.path), std::set<std::string>{output});
    const std::string result = harness::read_file(dir / output);
    if (!w.result_key) {
        EXPECT_TRUE(result == plain) << "the decryption differs";
    } else {
        bool ok = false;
        EXPECT_TRUE(faults::decrypt(result, w.result_key, &ok) == plain && ok)
            << "the result does not decrypt";
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, short_io,
                         testing::Combine(testing::ValuesIn(ways), testing::ValuesIn(io_kinds)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).title) + "_" +
                                    std::get<1>(info.param).title;
                         });

// The calls of one run, as the interposer logged them, with the directory's
// path taken out so they read "create a.osl.Xk3pQz excl 0600".
std::vector<std::string> logged_calls(const harness::temp_dir& dir, const std::string& log) {
    std::vector<std::string> calls;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
        std::string call;
        for (std::size_t i = 0; i < line.size();) {
            if (line.compare(i, dir.path.size(), dir.path) != 0) {
                call += line[i++];
                continue;
            }
            i += dir.path.size();
            if (i < line.size() && line[i] == '/')
                ++i;
            else
                call += '.';
        }
        calls.push_back(call);
    }
    return calls;
}

harness::run_result logged_run(const harness::temp_dir& dir, std::vector<std::string> args,
                               const std::string& log) {
    harness::run_options o;
    o.args = std::move(args);
    o.cwd = dir.path;
    faults::inject(o, faults::fault{});
    o.env_set.push_back({"OSTREL_CALL_LOG", log});
    return harness::run(o);
}

// The index of the first call that starts with `prefix`, or -1.
int find_call(const std::vector<std::string>& calls, const std::string& prefix) {
    for (std::size_t i = 0; i < calls.size(); ++i)
        if (calls[i].rfind(prefix, 0) == 0) return int(i);
    return -1;
}

std::string joined(const std::vector<std::string>& calls) {
    std::ostringstream out;
    for (const auto& c : calls) out << "  " << c << "\n";
    return out.str();
}

struct durable_case {
    const char* title;
    std::vector<std::string> options;
    bool encrypted_input;
    bool output_exists; // answered with -f
    const char* input;
    const char* output;
    const char* rename; // the call that gives the result its name
};

const durable_case durable_cases[] = {
    {"encryption_to_a_new_name", {"-T"}, false, false, "a", "a.osl", "renameat2-noreplace"},
    {"encryption_over_an_existing_output", {"-T", "-f"}, false, true, "a", "a.osl", "renameat"},
    {"decryption_to_a_new_name", {"-T", "-d"}, true, false, "a.osl", "a", "renameat2-noreplace"},
    {"key_change", {"-T", "-x", "-H", "new"}, true, false, "a.osl", "a.osl", "renameat"},
};

void PrintTo(const durable_case& c, std::ostream* out) { *out << c.title; }

struct durable_order : testing::TestWithParam<durable_case> {};

TEST_P(durable_order, result_synced_renamed_directory_synced_input_removed) {
    const durable_case& c = GetParam();
    harness::temp_dir dir;
    harness::temp_dir logs;
    const std::string plain = harness::random_bytes(20000, 22);
    harness::write_file(dir / c.input, c.encrypted_input ? faults::encrypt(plain, key) : plain);
    if (c.output_exists) harness::write_file(dir / c.output, "old output");
    std::vector<std::string> args = c.options;
    args.insert(args.end(), {"-K", key, c.input});
    harness::run_result r = logged_run(dir, args, logs / "calls");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> calls = logged_calls(dir, logs / "calls");
    SCOPED_TRACE("calls:\n" + joined(calls));

    const std::string temp_prefix = std::string(c.output) + ".";
    const int create = find_call(calls, "create " + temp_prefix);
    ASSERT_GE(create, 0) << "the result was not written under a temporary name";
    const std::string temp = calls[create].substr(7, calls[create].find(' ', 7) - 7);
    EXPECT_EQ(calls[create], "create " + temp + " excl 0600");
    const int first_write = find_call(calls, "write " + temp);
    const int sync_result = find_call(calls, "fsync " + temp);
    const int rename = find_call(calls, std::string(c.rename) + " " + temp + " " + c.output);
    const int sync_directory = find_call(calls, "fsync .");
    ASSERT_GE(first_write, 0);
    EXPECT_LT(create, first_write);
    EXPECT_LT(first_write, sync_result);
    EXPECT_LT(sync_result, rename);
    EXPECT_LT(rename, sync_directory);
    if (std::string(c.input) != c.output) {
        const int remove = find_call(calls, std::string("unlinkat ") + c.input);
        EXPECT_LT(sync_directory, remove);
        EXPECT_EQ(remove, int(calls.size()) - 1) << "the input is removed last";
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, durable_order, testing::ValuesIn(durable_cases),
                         [](const auto& info) { return std::string(info.param.title); });

// Whatever the mode and way, every file the program creates is new (O_EXCL)
// and readable by its owner only until it is complete.
TEST(created_files, are_exclusive_and_private_in_every_mode) {
    for (const way& w : ways) {
        harness::temp_dir dir;
        harness::temp_dir logs;
        const std::vector<std::string>& options = w.options;
        const bool encrypted_input = w.encrypted_input;
        const std::string input = encrypted_input ? "a.osl" : "a";
        harness::write_file(dir / input,
                            encrypted_input ? faults::encrypt("content", key) : "content");
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-K", key, input});
        harness::run_result r = logged_run(dir, args, logs / "calls");
        ASSERT_EQ(r.status, 0) << r.err;
        const std::vector<std::string> calls = logged_calls(dir, logs / "calls");
        for (const std::string& call : calls) {
            if (call.rfind("create ", 0) != 0) continue;
            EXPECT_NE(call.find(" excl 0600"), std::string::npos) << call << "\n" << joined(calls);
        }
    }
}

} // namespace
