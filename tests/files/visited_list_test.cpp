#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

#include "files/files.h"

namespace {

struct visited_list_test : ::testing::Test {
    visited_set set;
    void TearDown() override { forget_visited(set); }
};

struct pair_key {
    dev_t device;
    std::uint64_t inode;
};

// Sets of pairs that a weak hash or a careless comparison would confuse:
// consecutive inodes, inodes apart by powers of two, pairs that swap device
// and inode, devices differing only in their high bits, inode 0 and the
// largest inode.
struct pair_pattern {
    const char* what;
    std::vector<pair_key> pairs;
};

std::vector<pair_pattern> pair_patterns() {
    std::vector<pair_pattern> patterns;
    pair_pattern consecutive{"consecutive inodes on one device", {}};
    for (std::uint64_t inode = 1; inode <= 5000; ++inode)
        consecutive.pairs.push_back({2049, inode});
    patterns.push_back(consecutive);

    pair_pattern strided{"inodes 4096 apart on two devices", {}};
    for (std::uint64_t i = 0; i < 3000; ++i) {
        strided.pairs.push_back({7, i << 12});
        strided.pairs.push_back({8, i << 12});
    }
    patterns.push_back(strided);

    pair_pattern swapped{"device and inode swapped", {}};
    for (std::uint64_t a = 1; a <= 60; ++a)
        for (std::uint64_t b = a + 1; b <= 61; ++b) {
            swapped.pairs.push_back({dev_t(a), b});
            swapped.pairs.push_back({dev_t(b), a});
        }
    patterns.push_back(swapped);

    pair_pattern wide{"high bits of device and inode", {}};
    for (std::uint64_t i = 0; i < 64; ++i) {
        wide.pairs.push_back({dev_t(std::uint64_t(1) << i), 0});
        wide.pairs.push_back({1, std::uint64_t(1) << i});
        wide.pairs.push_back({1, ~std::uint64_t(0) - i});
    }
    wide.pairs.push_back({0, 0});
    patterns.push_back(wide);
    return patterns;
}

// Every pair remembered is found with its own flag, and each neighbour of a
// pair that was never remembered is not, across every growth of the list.
TEST_F(visited_list_test, finds_exactly_what_was_remembered) {
    for (const pair_pattern& pattern : pair_patterns()) {
        SCOPED_TRACE(pattern.what);
        forget_visited(set);
        for (std::size_t i = 0; i < pattern.pairs.size(); ++i) {
            const pair_key& key = pattern.pairs[i];
            ASSERT_EQ(find_visited(set, key.device, key.inode), nullptr) << i;
            remember_inode(set, key.inode, key.device, int(i % 3 == 0));
        }
        ASSERT_EQ(set.count, int(pattern.pairs.size()));
        for (std::size_t i = 0; i < pattern.pairs.size(); ++i) {
            const pair_key& key = pattern.pairs[i];
            const visited_entry* entry = find_visited(set, key.device, key.inode);
            ASSERT_NE(entry, nullptr) << i;
            EXPECT_EQ(entry->device, key.device) << i;
            EXPECT_EQ(entry->inode, key.inode) << i;
            EXPECT_EQ(entry->done, int(i % 3 == 0)) << i;
        }
        // Near misses: the same inode on the next device, the next inode on
        // the same device, unless the pattern holds those too.
        std::set<std::pair<dev_t, std::uint64_t>> held;
        for (const pair_key& key : pattern.pairs) held.insert({key.device, key.inode});
        std::size_t misses = 0;
        for (const pair_key& key : pattern.pairs)
            for (const pair_key& near : {pair_key{dev_t(key.device + 1000003), key.inode},
                                         pair_key{key.device, key.inode + 0x100000000ull}}) {
                if (held.count({near.device, near.inode})) continue;
                EXPECT_EQ(find_visited(set, near.device, near.inode), nullptr)
                    << near.device << " " << near.inode;
                ++misses;
            }
        EXPECT_GT(misses, 0u);
    }
}

// The pointer find_visited returns is the entry itself: a flag set through
// it is what the next look-up sees, also after the list has grown.
TEST_F(visited_list_test, a_flag_set_through_the_found_entry_is_kept) {
    remember_inode(set, 10, 1, 0);
    find_visited(set, 1, 10)->done = 1;
    for (std::uint64_t inode = 11; inode < 2000; ++inode) remember_inode(set, inode, 1, 0);
    EXPECT_EQ(find_visited(set, 1, 10)->done, 1);
    EXPECT_EQ(find_visited(set, 1, 11)->done, 0);
}

// A pair remembered again (a file refused, then refused under another name)
// keeps its first entry: the later one, whatever its flag, is never found.
TEST_F(visited_list_test, a_pair_recorded_twice_is_found_as_the_older_entry) {
    for (const int later_done : {0, 1}) {
        SCOPED_TRACE(later_done);
        forget_visited(set);
        remember_inode(set, 9, 3, 1 - later_done);
        for (std::uint64_t inode = 100; inode < 1100; ++inode) remember_inode(set, inode, 3, 1);
        const visited_entry* later = remember_inode(set, 9, 3, later_done);
        for (std::uint64_t inode = 2000; inode < 3000; ++inode) remember_inode(set, inode, 3, 1);
        const visited_entry* entry = find_visited(set, 3, 9);
        ASSERT_EQ(entry, &set.entries[0]);
        EXPECT_EQ(entry->done, 1 - later_done);
        EXPECT_NE(entry, later);
        EXPECT_EQ(set.count, 2002);
    }
}

TEST_F(visited_list_test, matches_device_and_inode_together) {
    remember_inode(set, 5, 1, 1);
    EXPECT_EQ(find_visited(set, 1, 5), &set.entries[0]);
    EXPECT_EQ(find_visited(set, 2, 5), nullptr);
    EXPECT_EQ(find_visited(set, 1, 6), nullptr);
    // Inode numbers use all 64 bits.
    remember_inode(set, 0x100000005ull, 1, 0);
    EXPECT_EQ(find_visited(set, 1, 0x100000005ull), &set.entries[1]);
    EXPECT_EQ(find_visited(set, 1, 5), &set.entries[0]);
}

// Forgetting releases both the entries and the index, and the list works
// again from empty.
TEST_F(visited_list_test, is_empty_after_being_forgotten) {
    for (std::uint64_t inode = 1; inode <= 150; ++inode) remember_inode(set, inode, 4, 1);
    forget_visited(set);
    EXPECT_EQ(set.entries, nullptr);
    EXPECT_EQ(set.index, nullptr);
    EXPECT_EQ(set.count, 0);
    EXPECT_EQ(set.capacity, 0);
    EXPECT_EQ(set.index_size, 0u);
    EXPECT_EQ(find_visited(set, 4, 1), nullptr);
    remember_inode(set, 1, 4, 0);
    EXPECT_EQ(find_visited(set, 4, 1)->done, 0);
    EXPECT_EQ(find_visited(set, 4, 2), nullptr);
}

// The index stays at most half full, so every search stops early.
TEST_F(visited_list_test, the_index_keeps_free_slots_as_it_grows) {
    for (std::uint64_t inode = 1; inode <= 70000; ++inode) {
        remember_inode(set, inode, 9, 1);
        ASSERT_GE(set.index_size, 2u * std::uint32_t(set.count)) << inode;
    }
    std::uint32_t used = 0;
    for (std::uint32_t i = 0; i < set.index_size; ++i) used += set.index[i] != 0;
    EXPECT_EQ(used, 70000u);
}

} // namespace
