// A rename that fails after a successful transformation, and an output that
// cannot be created. The failure is reported and counted (status 8), and
// the transformed data is kept under the name the message gives: nothing is
// lost, and no other file is touched.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cctype>

#include "faults/fault_support.h"

namespace {

const std::string key = "key";

// The temporary name in "ostrel: could not rename <temp> to <output>: <text>\n",
// when the message has that form and the name is `output` followed by a dot
// and mkstemp's six characters; empty otherwise.
std::string renamed_temp(const std::string& message, const std::string& output,
                         const std::string& text) {
    const std::string head = "ostrel: could not rename ";
    const std::string tail = " to " + output + ": " + text + "\n";
    if (message.size() < head.size() + tail.size() || message.compare(0, head.size(), head) != 0 ||
        message.compare(message.size() - tail.size(), tail.size(), tail) != 0)
        return "";
    const std::string temp =
        message.substr(head.size(), message.size() - head.size() - tail.size());
    if (temp.size() != output.size() + 7 || temp.compare(0, output.size() + 1, output + ".") != 0)
        return "";
    for (std::size_t i = output.size() + 1; i < temp.size(); ++i)
        if (!std::isalnum(static_cast<unsigned char>(temp[i]))) return "";
    return temp;
}

// A directory the unprivileged child may read but not change, holding one
// file it owns and may write.
struct read_only_dir {
    harness::temp_dir base;
    std::string path;
    read_only_dir(const std::string& file, const std::string& content) {
        path = base / "ro";
        mkdir(path.c_str(), 0755);
        harness::write_file(path + "/" + file, content);
        faults::give_to_nobody(path + "/" + file);
        faults::give_to_nobody(path);
        chmod(base.path.c_str(), 0755);
        chmod(path.c_str(), 0555);
    }
};

TEST(RenameFailure, InPlaceFileThatCannotBeRenamedIsLeftAsItWas) {
    if (!faults::can_drop_privileges())
        GTEST_SKIP() << "needs root to prepare files for an unprivileged user";
    const std::string plain = harness::random_bytes(20000, 8);
    read_only_dir dir("a.txt", plain);
    harness::run_options o;
    o.args = {"-K", key, "a.txt"};
    o.cwd = dir.path;
    faults::run_as_nobody(o);

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: could not rename a.txt to a.txt.osl: Permission denied\n");
    EXPECT_EQ(faults::listing(dir.path), std::set<std::string>{"a.txt"});
    EXPECT_TRUE(harness::read_file(dir.path + "/a.txt") == plain);
}

TEST(RenameFailure, TemporaryFileOutputThatCannotBeCreated) {
    if (!faults::can_drop_privileges())
        GTEST_SKIP() << "needs root to prepare files for an unprivileged user";
    const std::string plain = harness::random_bytes(20000, 9);
    read_only_dir dir("a.txt", plain);
    harness::run_options o;
    o.args = {"-T", "-K", key, "a.txt"};
    o.cwd = dir.path;
    faults::run_as_nobody(o);

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: a.txt.osl: Permission denied\n");
    EXPECT_EQ(faults::listing(dir.path), std::set<std::string>{"a.txt"});
    EXPECT_TRUE(harness::read_file(dir.path + "/a.txt") == plain);
}

// Key change through a temporary file: the new version is complete under the
// temporary name when its rename fails; the old version keeps its name.
TEST(RenameFailure, TemporaryFileKeyChangeKeepsBothVersions) {
    harness::temp_dir dir;
    const std::string plain = harness::random_bytes(20000, 10);
    const std::string old_version = faults::encrypt(plain, key);
    harness::write_file(dir / "a.osl", old_version);
    harness::run_options o;
    o.args = {"-T", "-x", "-K", key, "-H", "new", "a.osl"};
    o.cwd = dir.path;
    faults::inject(o, faults::failing("rename", dir / "a.osl.*"));

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 8);
    const std::string temp = renamed_temp(r.err, "a.osl", "Input/output error");
    ASSERT_FALSE(temp.empty()) << r.err;
    EXPECT_EQ(faults::listing(dir.path), (std::set<std::string>{"a.osl", temp}));
    EXPECT_TRUE(harness::read_file(dir / "a.osl") == old_version);
    bool ok = false;
    EXPECT_TRUE(faults::decrypt(harness::read_file(dir / temp), "new", &ok) == plain);
    EXPECT_TRUE(ok);
}

// A file system without the no-replace rename (EINVAL, or ENOSYS from an
// older kernel): an output that appeared during a -T run is not replaced
// by the fallback either. The new result goes; the input stays.
TEST(RenameFailure, WithoutNoReplaceRenameAnOutputThatAppearedStays) {
    for (const int error : {EINVAL, ENOSYS}) {
        SCOPED_TRACE(faults::error_text(error));
        harness::temp_dir dir;
        const std::string plain = harness::random_bytes(20000, 12);
        harness::write_file(dir / "a.txt", plain);
        harness::run_options o;
        o.args = {"-T", "-K", key, "a.txt"};
        o.cwd = dir.path;
        faults::fault f = faults::failing("rename", dir / "a.txt.osl.*");
        f.error = error;
        f.action = "occupy";
        faults::inject(o, f);

        auto r = harness::run(o);

        EXPECT_EQ(r.status, 8);
        EXPECT_FALSE(renamed_temp(r.err, "a.txt.osl", "File exists").empty()) << r.err;
        EXPECT_EQ(faults::listing(dir.path), (std::set<std::string>{"a.txt", "a.txt.osl"}));
        EXPECT_EQ(harness::read_file(dir / "a.txt.osl"), "made by another process\n");
        EXPECT_TRUE(harness::read_file(dir / "a.txt") == plain);
    }
}

// Decryption through a temporary file over an existing output (-f): when the
// rename fails, the encrypted input must stay, since the result exists only
// under the temporary name.
TEST(RenameFailure, TemporaryFileDecryptionKeepsTheInput) {
    harness::temp_dir dir;
    const std::string plain = harness::random_bytes(20000, 11);
    const std::string encrypted = faults::encrypt(plain, key);
    harness::write_file(dir / "a.txt.osl", encrypted);
    harness::write_file(dir / "a.txt", "an older a.txt");
    harness::run_options o;
    o.args = {"-T", "-f", "-d", "-K", key, "a.txt.osl"};
    o.cwd = dir.path;
    faults::inject(o, faults::failing("rename", dir / "a.txt.*"));

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 8);
    const std::string temp = renamed_temp(r.err, "a.txt", "Input/output error");
    ASSERT_FALSE(temp.empty()) << r.err;
    EXPECT_EQ(faults::listing(dir.path), (std::set<std::string>{"a.txt", "a.txt.osl", temp}));
    EXPECT_TRUE(harness::read_file(dir / "a.txt.osl") == encrypted);
    EXPECT_EQ(harness::read_file(dir / "a.txt"), "an older a.txt");
    EXPECT_TRUE(harness::read_file(dir / temp) == plain);
}

} // namespace
