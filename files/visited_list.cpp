#include <cstdlib>

#include "files/files.h"

visited_list_type visited_list;

visited_entry* find_visited(dev_t device, std::uint64_t inode)
{
    for (int i = 0; i < visited_list.count; ++i) {
        visited_entry* entry = &visited_list.entries[i];
        if (entry->inode == inode && entry->device == device)
            return entry;
    }
    return nullptr;
}

visited_entry* remember_inode(std::uint64_t inode, dev_t device, int done)
{
    // A run touches few files: a linear list grown by a fixed step suffices.
    constexpr int growth = 100;
    if (visited_list.count == visited_list.capacity) {
        auto* grown = static_cast<visited_entry*>(
            std::realloc(visited_list.entries,
                         std::size_t(visited_list.capacity + growth) * sizeof(visited_entry)));
        if (!grown)
            return nullptr;
        visited_list.entries = grown;
        visited_list.capacity += growth;
    }
    visited_entry* entry = &visited_list.entries[visited_list.count++];
    entry->inode = inode;
    entry->device = device;
    entry->done = done;
    return entry;
}

void forget_visited()
{
    std::free(visited_list.entries);
    visited_list.entries = nullptr;
    visited_list.count = 0;
    visited_list.capacity = 0;
}
