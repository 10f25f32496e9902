// No secret in memory the program gives back: a preloaded scanner searches
// every block released to the allocator for any 16 bytes of the keyword, its
// hashed key, a round key and (in a key change, which decrypts on its way)
// the plaintext, and ends the run with status 99 on a hit. The keywords
// outgrow the first buffer a line is read into. Every mode, every
// key source and the exit paths where keywords are held (wrong key, typed
// copies that differ, a missing key file).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "faults/fault_support.h"

namespace {

// A sanitized program's allocator cannot be watched from in front of it;
// the Release run of the suite covers this.
bool scanner_usable() {
#if OSTREL_TEST_ASAN
    return false;
#else
    return true;
#endif
}

std::string hex(const void* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// The keyword, its hashed key and the schedule's second round key, as the
// scanner's list, after `plain` when that is given.
std::string secrets_of(const std::vector<std::string>& keywords, const std::string& plain) {
    std::string list = hex(plain.data(), plain.size());
    for (const std::string& keyword : keywords) {
        std::uint8_t key[32];
        hash_keyword(keyword.c_str(), key);
        std::uint8_t work[32];
        std::copy(key, key + 32, work);
        key_schedule schedule{};
        schedule_key(work, 256, 256, &schedule);
        for (const std::string& secret :
             {hex(keyword.data(), keyword.size()), hex(key, 32), hex(&schedule.round_keys[8], 32)})
            list += (list.empty() ? "" : ",") + secret;
    }
    return list;
}

const std::string keyword = "a keyword long enough to be unmistakable 4711";
const std::string other = "the new keyword of a key change, also long 0815";

struct freed_case {
    const char* title;
    std::vector<std::string> args;
    std::vector<std::string> keywords; // whose secrets are searched for
    std::string input;                 // standard input
    std::string file;                  // content of the file "f" (and "f.osl" when it ends so)
    const char* file_name;
    std::string tty;      // typed at the terminal
    std::string key_file; // content of the file "keys"
    int status;
    bool plain_secret = false; // the plaintext is searched for too
};

// The plaintext: one line over and over, so that every 16 bytes of it are
// 16 bytes of one line followed by its start.
const std::string line = "plaintext that only this test writes, line after line 0123456789\n";
const std::string plain_secret = line + line.substr(0, 15);

std::string encrypted(const std::string& plain, const std::string& key) {
    harness::run_options o;
    o.args = {"-K", key};
    o.input = plain;
    return harness::run(o).out;
}

std::vector<freed_case> cases() {
    std::string plain;
    while (plain.size() < 70000) plain += line;
    const std::string sealed = encrypted(plain, keyword);
    const std::vector<std::string> one = {keyword};
    const std::vector<std::string> both = {keyword, other};
    return {
        {"filter_encryption", {"-K", keyword}, one, plain, "", "", "", "", 0},
        {"filter_decryption", {"-d", "-K", keyword}, one, sealed, "", "", "", "", 0},
        {"filter_key_change",
         {"-x", "-K", keyword, "-H", other},
         both,
         sealed,
         "",
         "",
         "",
         "",
         0,
         true},
        {"in_place_encryption_key_file",
         {"-k", "keys", "f"},
         one,
         "",
         plain,
         "f",
         "",
         keyword + "\n",
         0},
        {"temporary_decryption_environment",
         {"-T", "-d", "-E", "OSTREL_TEST_KEY", "f.osl"},
         one,
         "",
         sealed,
         "f.osl",
         "",
         "",
         0},
        {"in_place_key_change_key_file",
         {"-x", "-k", "keys", "f.osl"},
         both,
         "",
         sealed,
         "f.osl",
         "",
         keyword + "\n" + other + "\n",
         0,
         true},
        {"cat", {"-c", "-K", keyword, "f.osl"}, one, "", sealed, "f.osl", "", "", 0},
        {"prompt_encryption", {"f"}, one, "", plain, "f", keyword + "\n" + keyword + "\n", "", 0},
        {"wrong_key", {"-d", "-K", other, "f.osl"}, {other}, "", sealed, "f.osl", "", "", 4},
        {"typed_copies_differ", {"f"}, both, "", plain, "f", keyword + "\n" + other + "\n", "", 7},
        {"missing_key_file",
         {"-x", "-K", keyword, "-k", "absent", "f.osl"},
         one,
         "",
         sealed,
         "f.osl",
         "",
         "",
         9},
    };
}

struct freed_memory : testing::TestWithParam<freed_case> {};

void PrintTo(const freed_case& c, std::ostream* out) { *out << c.title; }

TEST_P(freed_memory, holds_no_keyword_hashed_key_or_round_key) {
    if (!scanner_usable())
        GTEST_SKIP() << "the sanitizer's allocator is not scanned; the Release run checks this";
    const freed_case& c = GetParam();
    harness::temp_dir dir;
    harness::temp_dir reports;
    if (!c.file.empty()) harness::write_file(dir / c.file_name, c.file);
    if (!c.key_file.empty()) harness::write_file(dir / "keys", c.key_file);
    harness::run_options o;
    o.args = c.args;
    o.input = c.input;
    o.cwd = dir.path;
    o.env_set = {{"LD_PRELOAD", OSTREL_FREED_SCAN},
                 {"OSTREL_SECRETS", secrets_of(c.keywords, c.plain_secret ? plain_secret : "")},
                 {"OSTREL_SECRET_REPORT", reports / "hits"},
                 {"OSTREL_TEST_KEY", keyword}};
    if (!c.tty.empty()) {
        o.use_tty = true;
        o.tty_input = c.tty;
    }
    harness::run_result r = harness::run(o);
    EXPECT_EQ(harness::read_file(reports / "hits"), "");
    EXPECT_EQ(r.status, c.status) << r.err;
}

INSTANTIATE_TEST_SUITE_P(Faults, freed_memory, testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.title); });

// The scanner itself: told to look for a file name, which the program
// keeps in blocks it releases after the file, it catches the run.
TEST(freed_memory_scanner, finds_what_is_left_in_a_released_block) {
    if (!scanner_usable())
        GTEST_SKIP() << "the sanitizer's allocator is not scanned; the Release run checks this";
    harness::temp_dir dir;
    harness::temp_dir reports;
    const std::string name = "a-file-name-that-only-the-scanner-looks-for";
    harness::write_file(dir / name, "content");
    harness::run_options o;
    o.args = {"-K", keyword, name};
    o.cwd = dir.path;
    o.env_set = {{"LD_PRELOAD", OSTREL_FREED_SCAN},
                 {"OSTREL_SECRETS", hex(name.data(), name.size())},
                 {"OSTREL_SECRET_REPORT", reports / "hits"}};
    harness::run_result r = harness::run(o);
    EXPECT_EQ(r.status, 99);
    EXPECT_NE(harness::read_file(reports / "hits").find("found in a released block"),
              std::string::npos);
}

} // namespace
