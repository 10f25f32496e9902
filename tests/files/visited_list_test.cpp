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

file_identity id(dev_t device, std::uint64_t inode, std::int64_t stamp = 0) {
    return {device, inode, stamp};
}

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
            ASSERT_EQ(find_visited(set, id(key.device, key.inode)), nullptr) << i;
            remember_inode(set, id(key.device, key.inode), int(i % 3 == 0));
        }
        ASSERT_EQ(set.count, int(pattern.pairs.size()));
        for (std::size_t i = 0; i < pattern.pairs.size(); ++i) {
            const pair_key& key = pattern.pairs[i];
            const visited_entry* entry = find_visited(set, id(key.device, key.inode));
            ASSERT_NE(entry, nullptr) << i;
            EXPECT_EQ(entry->identity.device, key.device) << i;
            EXPECT_EQ(entry->identity.inode, key.inode) << i;
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
                EXPECT_EQ(find_visited(set, id(near.device, near.inode)), nullptr)
                    << near.device << " " << near.inode;
                ++misses;
            }
        EXPECT_GT(misses, 0u);
    }
}

// The pointer find_visited returns is the entry itself: a flag set through
// it is what the next look-up sees, also after the list has grown.
TEST_F(visited_list_test, a_flag_set_through_the_found_entry_is_kept) {
    remember_inode(set, id(1, 10), 0);
    find_visited(set, id(1, 10))->done = 1;
    for (std::uint64_t inode = 11; inode < 2000; ++inode) remember_inode(set, id(1, inode), 0);
    EXPECT_EQ(find_visited(set, id(1, 10))->done, 1);
    EXPECT_EQ(find_visited(set, id(1, 11))->done, 0);
}

// A pair met again is the file already known when the stamps agree (or
// either has none): its entry, flag and all, stays, so a file refused under
// one name and transformed under another stays done. A stamp that differs
// is a new file on a freed number: not found, and remembering it takes over
// that number's entry, so the next lookup finds the newcomer.
TEST_F(visited_list_test, a_pair_met_again_is_told_apart_by_its_stamp) {
    struct identity_case {
        const char* what;
        std::int64_t first, later;
        bool same_file;
    } const cases[] = {
        {"the same birth time", 1700000000123456789, 1700000000123456789, true},
        {"a later birth time", 1700000000123456789, 1700000000123456790, false},
        {"an earlier birth time", 1700000000123456789, 1600000000000000000, false},
        {"no stamp on the first meeting", 0, 1700000000123456789, true},
        {"no stamp on the second meeting", 1700000000123456789, 0, true},
    };
    for (const identity_case& c : cases)
        for (const int later_done : {0, 1}) {
            SCOPED_TRACE(testing::Message() << c.what << ", later done " << later_done);
            forget_visited(set);
            remember_inode(set, id(3, 9, c.first), 1 - later_done);
            for (std::uint64_t inode = 100; inode < 1100; ++inode)
                remember_inode(set, id(3, inode, 5), 1);
            EXPECT_EQ(find_visited(set, id(3, 9, c.later)) != nullptr, c.same_file);
            const std::ptrdiff_t later =
                remember_inode(set, id(3, 9, c.later), later_done) - set.entries;
            for (std::uint64_t inode = 2000; inode < 3000; ++inode)
                remember_inode(set, id(3, inode, 5), 1);
            const visited_entry* entry = find_visited(set, id(3, 9, c.later));
            ASSERT_EQ(entry, &set.entries[0]);
            EXPECT_EQ(later, 0);
            EXPECT_EQ(entry->done, c.same_file ? 1 - later_done : later_done);
            EXPECT_EQ(set.count, 2001);
            EXPECT_EQ(find_visited(set, id(3, 9, c.first)) != nullptr, c.same_file);
        }
}

TEST_F(visited_list_test, matches_device_and_inode_together) {
    remember_inode(set, id(1, 5), 1);
    EXPECT_EQ(find_visited(set, id(1, 5)), &set.entries[0]);
    EXPECT_EQ(find_visited(set, id(2, 5)), nullptr);
    EXPECT_EQ(find_visited(set, id(1, 6)), nullptr);
    // Inode numbers use all 64 bits.
    remember_inode(set, id(1, 0x100000005ull), 0);
    EXPECT_EQ(find_visited(set, id(1, 0x100000005ull)), &set.entries[1]);
    EXPECT_EQ(find_visited(set, id(1, 5)), &set.entries[0]);
}

// Forgetting releases both the entries and the index, and the list works
// again from empty.
TEST_F(visited_list_test, is_empty_after_being_forgotten) {
    for (std::uint64_t inode = 1; inode <= 150; ++inode) remember_inode(set, id(4, inode), 1);
    forget_visited(set);
    EXPECT_EQ(set.entries, nullptr);
    EXPECT_EQ(set.index, nullptr);
    EXPECT_EQ(set.count, 0);
    EXPECT_EQ(set.capacity, 0);
    EXPECT_EQ(set.index_size, 0u);
    EXPECT_EQ(find_visited(set, id(4, 1)), nullptr);
    remember_inode(set, id(4, 1), 0);
    EXPECT_EQ(find_visited(set, id(4, 1))->done, 0);
    EXPECT_EQ(find_visited(set, id(4, 2)), nullptr);
}

// The index stays at most half full, so every search stops early.
TEST_F(visited_list_test, the_index_keeps_free_slots_as_it_grows) {
    for (std::uint64_t inode = 1; inode <= 70000; ++inode) {
        remember_inode(set, id(9, inode), 1);
        ASSERT_GE(set.index_size, 2u * std::uint32_t(set.count)) << inode;
    }
    std::uint32_t used = 0;
    for (std::uint32_t i = 0; i < set.index_size; ++i) used += set.index[i] != 0;
    EXPECT_EQ(used, 70000u);
}

} // namespace
