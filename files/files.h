// File processing: one named file turned into its counterpart, directory
// traversal, the visited list and the interrupt handling around writing.
// Reports and counts its own failures; may end the process (status 2, 3, 6).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>

// ---- Run counters --------------------------------------------------------------
extern int error_count;  // failed system operations on files
extern int reject_count; // inputs rejected: key does not match, bad format

// ---- Visited list ----------------------------------------------------------------
struct visited_entry {
    std::uint64_t inode;
    dev_t device;
    int done; // 1: directory entered or file transformed; 0: file left unchanged
};

struct visited_list_type {
    visited_entry* entries;
    int count;
    int capacity;
};
extern visited_list_type visited_list;

visited_entry* find_visited(dev_t device, std::uint64_t inode);
visited_entry* remember_inode(std::uint64_t inode, dev_t device, int done);
// Releases the storage and makes the list empty.
void forget_visited();
