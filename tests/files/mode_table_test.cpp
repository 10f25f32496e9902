// The table of modes: what each row promises the code that reads it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files/files.h"

namespace {

// The conversions of a printf format, in order ("ss" for two %s).
std::string conversions(const char* format) {
    std::string found;
    for (const char* c = format; *c; ++c)
        if (*c == '%' && c[1] != '\0') found += *++c;
    return found;
}

TEST(mode_table, every_row_agrees_with_its_stream) {
    const struct {
        int mode;
        const char* name;
        const stream_kind* stream;
        output_rule output;
    } rows[] = {
        {mode_encrypt, "encrypt", &encrypt_kind, output_rule::add_suffix},
        {mode_decrypt, "decrypt", &decrypt_kind, output_rule::strip_suffix},
        {mode_keychange, "keychange", &keychange_kind, output_rule::same_name},
        {mode_cat, "cat", &decrypt_kind, output_rule::standard_output},
        {mode_unixcrypt, "unixcrypt", &unixcrypt_kind, output_rule::standard_output},
    };
    for (const auto& r : rows) {
        const mode_record& row = mode_table[r.mode];
        SCOPED_TRACE(r.name);
        EXPECT_STREQ(row.name, r.name);
        EXPECT_EQ(row.stream, r.stream);
        EXPECT_EQ(row.output, r.output);
        // What the stream writes and reads decides the terminal checks and
        // which keyword is asked twice, warned about and checked with -y.
        const bool encrypts = r.stream == &encrypt_kind || r.stream == &keychange_kind;
        EXPECT_EQ(row.writes_encrypted, encrypts);
        EXPECT_EQ(row.reads_encrypted, r.stream != &encrypt_kind);
        EXPECT_EQ(row.encrypting_keyword != 0, encrypts);
        EXPECT_EQ(row.needs_keyword2, r.stream == &keychange_kind);
        EXPECT_EQ(row.encrypting_keyword, row.needs_keyword2 ? 2 : encrypts ? 1 : 0);
        // Only the modes that write files ask about write-protected ones.
        EXPECT_EQ(row.protected_question == nullptr, r.output == output_rule::standard_output);
    }
}

TEST(mode_table, texts_take_exactly_the_arguments_given_them) {
    for (const mode_record& row : mode_table) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(conversions(row.writing_line), "s");
        EXPECT_EQ(std::string(row.writing_line).back(), '\n');
        EXPECT_EQ(conversions(row.prompt), "");
        if (row.protected_question) {
            EXPECT_EQ(conversions(row.protected_question), "ss");
            EXPECT_NE(std::strstr(row.protected_question, "(y or n)? "), nullptr);
        }
    }
}

TEST(mode_table, only_encryption_grows_its_input) {
    EXPECT_EQ(encrypt_kind.growth, 32);
    for (const stream_kind* kind : {&decrypt_kind, &keychange_kind, &unixcrypt_kind})
        EXPECT_EQ(kind->growth, 0);
}

} // namespace
