// read_line and read_keyword_line: whole lines of any length, line ends
// stripped, cut at a zero byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "files/files.h"

namespace {

// Every line read_line gives for `input`, up to the first none.
std::vector<std::string> all_lines(const std::string& input) {
    std::FILE* in = std::tmpfile();
    EXPECT_NE(in, nullptr);
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    std::vector<std::string> lines;
    while (char* line = read_line(in)) {
        lines.emplace_back(line);
        std::free(line);
        if (lines.size() > input.size() + 1) break; // never ends: fail below
    }
    std::fclose(in);
    return lines;
}

struct line_case {
    std::string label;
    std::string input;
    std::vector<std::string> lines;
};

TEST(ReadLine, LinesOfEveryLengthAndEnding) {
    auto text = [](std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += char('a' + i % 26);
        return s;
    };
    std::vector<line_case> cases = {
        {"empty input", "", {}},
        {"empty line", "\n", {""}},
        {"two empty lines", "\n\n", {"", ""}},
        {"CRLF alone", "\r\n", {""}},
        {"CRLF", "key\r\nnext\r\n", {"key", "next"}},
        {"lone CR at the end", "key\r", {"key\r"}},
        {"lone CR inside", "k\rey\n", {"k\rey"}},
        {"CR CR LF loses one CR", "key\r\r\n", {"key\r"}},
        {"no final newline", "first\nlast", {"first", "last"}},
        {"blanks kept", "  x  \n", {"  x  "}},
        // A zero byte ends the text but not the line: the next line stays
        // a line of its own.
        {"zero byte inside", std::string("a\0b\nkey\n", 8), {"a", "key"}},
        {"zero bytes only", std::string(40, '\0') + "\nkey\n", {"", "key"}},
        {"zero byte at a part's end",
         std::string(31, 'x') + std::string(1, '\0') + "y\nz\n",
         {std::string(31, 'x'), "z"}},
        {"zero byte, no final newline", std::string("a\0b", 3), {"a"}},
    };
    for (std::size_t n : {30, 31, 32, 33, 62, 63, 64, 65, 127, 128, 5000}) {
        std::string line = text(n);
        cases.push_back({std::to_string(n) + " bytes", line + "\n" + "tail\n", {line, "tail"}});
        cases.push_back({std::to_string(n) + " bytes, CRLF", line + "\r\n", {line}});
        cases.push_back({std::to_string(n) + " bytes, no newline", line, {line}});
        // The CR sits exactly where the buffer was full before it grew.
        cases.push_back({std::to_string(n) + " bytes + CR", line + "\r", {line + "\r"}});
    }
    for (const auto& c : cases) EXPECT_EQ(all_lines(c.input), c.lines) << c.label;
}

// Whether a zero byte cut the line, for the key-file warning; the text is
// the line up to it either way.
TEST(ReadLine, TellsWhetherAZeroByteCutTheLine) {
    struct zero_case {
        std::string input;
        std::string text;
        bool zero;
    };
    const std::vector<zero_case> cases = {
        {"key\n", "key", false},
        {std::string("k\0y\n", 4), "k", true},
        {std::string("\0\n", 2), "", true},
        {std::string("key\0\r\n", 6), "key", true},
        {std::string("key\r\0\n", 6), "key\r", true},
        {std::string("key\0", 4), "key", true},
        {std::string(100, 'x') + std::string(1, '\0') + "\n", std::string(100, 'x'), true},
        {std::string(100, 'x') + "\n" + std::string(1, '\0'), std::string(100, 'x'), false},
        {"\n", "", false},
    };
    for (const auto& c : cases) {
        std::FILE* in = std::tmpfile();
        ASSERT_NE(in, nullptr);
        std::fwrite(c.input.data(), 1, c.input.size(), in);
        std::rewind(in);
        bool zero = !c.zero;
        char* line = read_keyword_line(in, &zero);
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(std::string(line), c.text) << ::testing::PrintToString(c.input);
        EXPECT_EQ(zero, c.zero) << ::testing::PrintToString(c.input);
        std::free(line);
        std::fclose(in);
    }
}

TEST(ReadLine, LeavesTheRestOfTheStreamUnread) {
    std::FILE* in = std::tmpfile();
    ASSERT_NE(in, nullptr);
    const std::string long_key(100, 'k');
    std::string input = long_key + "\r\nbinary\0data"; // what follows a key on standard input
    input.append("\n\x01\xff", 3);
    std::fwrite(input.data(), 1, input.size(), in);
    std::rewind(in);
    char* key = read_line(in);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(std::string(key), long_key);
    std::free(key);
    char rest[64];
    std::size_t got = std::fread(rest, 1, sizeof rest, in);
    EXPECT_EQ(std::string(rest, got), input.substr(long_key.size() + 2));
    std::fclose(in);
}

} // namespace
