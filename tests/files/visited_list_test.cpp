#include <gtest/gtest.h>

#include "files/files.h"

namespace {

struct visited_list_test : ::testing::Test {
    void SetUp() override { forget_visited(); }
    void TearDown() override { forget_visited(); }
};

TEST_F(visited_list_test, grows_by_one_hundred_entries_at_a_time)
{
    EXPECT_EQ(visited_list.capacity, 0);
    remember_inode(1, 7, 1);
    EXPECT_EQ(visited_list.capacity, 100);
    for (std::uint64_t inode = 2; inode <= 100; ++inode)
        remember_inode(inode, 7, 1);
    EXPECT_EQ(visited_list.count, 100);
    EXPECT_EQ(visited_list.capacity, 100);
    remember_inode(101, 7, 0);
    EXPECT_EQ(visited_list.count, 101);
    EXPECT_EQ(visited_list.capacity, 200); // not doubled
    for (std::uint64_t inode = 102; inode <= 201; ++inode)
        remember_inode(inode, 7, 1);
    EXPECT_EQ(visited_list.capacity, 300);
    // Every entry survived the reallocations.
    for (std::uint64_t inode = 1; inode <= 201; ++inode) {
        const visited_entry* entry = find_visited(7, inode);
        ASSERT_NE(entry, nullptr) << inode;
        EXPECT_EQ(entry->done, inode == 101 ? 0 : 1);
    }
}

TEST_F(visited_list_test, matches_device_and_inode_together)
{
    remember_inode(5, 1, 1);
    EXPECT_EQ(find_visited(1, 5), &visited_list.entries[0]);
    EXPECT_EQ(find_visited(2, 5), nullptr);
    EXPECT_EQ(find_visited(1, 6), nullptr);
    // Inode numbers use all 64 bits.
    remember_inode(0x100000005ull, 1, 0);
    EXPECT_EQ(find_visited(1, 0x100000005ull), &visited_list.entries[1]);
}

TEST_F(visited_list_test, a_pair_recorded_twice_is_found_as_the_older_entry)
{
    remember_inode(9, 3, 0);
    remember_inode(9, 3, 1);
    const visited_entry* entry = find_visited(3, 9);
    ASSERT_EQ(entry, &visited_list.entries[0]);
    EXPECT_EQ(entry->done, 0);
}

TEST_F(visited_list_test, is_empty_after_being_forgotten)
{
    for (std::uint64_t inode = 1; inode <= 150; ++inode)
        remember_inode(inode, 4, 1);
    forget_visited();
    EXPECT_EQ(visited_list.entries, nullptr);
    EXPECT_EQ(visited_list.count, 0);
    EXPECT_EQ(visited_list.capacity, 0);
    EXPECT_EQ(find_visited(4, 1), nullptr);
    remember_inode(1, 4, 1);
    EXPECT_EQ(visited_list.capacity, 100);
}

} // namespace
