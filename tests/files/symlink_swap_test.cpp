// A file swapped for a symbolic link between the check that it is a regular
// file and the open that overwrites it: the link's target must stay as it is.
// The swap happens through the seam that in-place writing calls just before
// its open.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "files/file_steps.h"
#include "files/files.h"
#include "support/harness.h"

namespace {

std::string target_path; // where the swapped-in link points

void swap_for_link(file_step step, const char* path) {
    if (step != file_step::open) return;
    unlink(path);
    if (symlink(target_path.c_str(), path) != 0) std::abort();
}

struct swap_test : ::testing::Test {
    harness::temp_dir dir;
    char keyword[2] = "k";
    run_context run;

    void SetUp() override {
        run.options.name = "ostrel";
        run.keyword = keyword;
        forget_visited(run.visited);
        target_path = dir / "target";
        harness::write_file(target_path, "the target's own content");
        harness::write_file(dir / "a", "the file's content");
    }
    void TearDown() override {
        run.keyword = nullptr;
        file_step_hook = nullptr;
        forget_visited(run.visited);
    }
    mode_t mode_of(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
        return st.st_mode & 07777;
    }
    bool is_link(const std::string& path) {
        struct stat st {};
        return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
};

TEST_F(swap_test, without_a_swap_the_file_is_encrypted) {
    // The control case: the same call transforms the file when nothing swaps it.
    process_file(run, (dir / "a").c_str());
    EXPECT_EQ(run.errors, 0);
    EXPECT_FALSE(harness::exists(dir / "a"));
    EXPECT_EQ(harness::read_file(dir / "a.osl").size(), std::strlen("the file's content") + 32);
}

TEST_F(swap_test, a_link_swapped_in_before_the_open_fails_it_and_the_target_stays) {
    file_step_hook = swap_for_link;
    std::string path = dir / "a";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(process_file(run, path.c_str()), outcome::failed);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "ostrel: " + path + ": " + std::strerror(ELOOP) + "\n");
    EXPECT_EQ(run.errors, 1);
    EXPECT_EQ(run.rejects, 0);
    EXPECT_EQ(harness::read_file(target_path), "the target's own content");
    EXPECT_EQ(mode_of(target_path), 0644u);
    EXPECT_TRUE(is_link(path));
    EXPECT_FALSE(harness::exists(dir / "a.osl"));
    // Recorded as left unchanged.
    EXPECT_EQ(run.visited.count, 1);
    EXPECT_EQ(run.visited.entries[0].done, 0);
}

TEST_F(swap_test, a_write_protected_file_swapped_leaves_the_target_mode_alone) {
    // With force the write bit is raised before the open and taken back after
    // it failed; neither may reach the target through the link.
    run.options.force = 1;
    ASSERT_EQ(chmod((dir / "a").c_str(), 0444), 0);
    ASSERT_EQ(chmod(target_path.c_str(), 0640), 0);
    file_step_hook = swap_for_link;
    ::testing::internal::CaptureStderr();
    process_file(run, (dir / "a").c_str());
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(std::strerror(ELOOP)), std::string::npos) << err;
    EXPECT_EQ(run.errors, 1);
    EXPECT_EQ(mode_of(target_path), 0640u);
    EXPECT_EQ(harness::read_file(target_path), "the target's own content");
}

} // namespace
