#include <cstdlib>

#include "files/files.h"

namespace {

constexpr int first_capacity = 4;

// Inode numbers are often consecutive and devices few: the pair is mixed
// (a 64-bit finaliser) so that neighbours land far apart.
std::uint64_t pair_hash(dev_t device, std::uint64_t inode) {
    std::uint64_t h = inode ^ (std::uint64_t(device) * 0x9e3779b97f4a7c15u);
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9u;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebu;
    return h ^ (h >> 31);
}

// The slot holding that pair, or the free slot where it would go.
std::uint32_t* slot_of(const visited_set& set, dev_t device, std::uint64_t inode) {
    const std::uint32_t mask = set.index_size - 1;
    for (std::uint64_t at = pair_hash(device, inode);; ++at) {
        std::uint32_t* slot = &set.index[at & mask];
        if (*slot == 0) return slot;
        const file_identity& known = set.entries[*slot - 1].identity;
        if (known.inode == inode && known.device == device) return slot;
    }
}

// Keeps the index at most half full, so a search ends after few slots.
// False when memory ran out; the set is as it was then.
bool grow_index(visited_set& set) {
    const std::uint32_t* old = set.index;
    const std::uint32_t old_size = set.index_size;
    const std::uint32_t size = old_size ? old_size * 2 : 2 * first_capacity;
    auto* index = static_cast<std::uint32_t*>(std::calloc(size, sizeof(std::uint32_t)));
    if (!index) return false;
    set.index = index;
    set.index_size = size;
    for (std::uint32_t i = 0; i < old_size; ++i)
        if (old[i] != 0) {
            const file_identity& known = set.entries[old[i] - 1].identity;
            *slot_of(set, known.device, known.inode) = old[i];
        }
    std::free(const_cast<std::uint32_t*>(old));
    return true;
}

// Stamps of one kind tell files apart; a missing one decides nothing.
bool same_stamp(const file_identity& a, const file_identity& b) {
    return a.stamp == b.stamp || a.stamp == 0 || b.stamp == 0;
}

} // namespace

visited_entry* find_visited(const visited_set& set, const file_identity& identity) {
    if (set.count == 0) return nullptr;
    const std::uint32_t position = *slot_of(set, identity.device, identity.inode);
    if (position == 0) return nullptr;
    visited_entry* entry = &set.entries[position - 1];
    return same_stamp(entry->identity, identity) ? entry : nullptr;
}

visited_entry* remember_inode(visited_set& set, const file_identity& identity, int done) {
    if (set.count > 0) {
        const std::uint32_t position = *slot_of(set, identity.device, identity.inode);
        if (position != 0) {
            visited_entry* entry = &set.entries[position - 1];
            if (!same_stamp(entry->identity, identity)) *entry = visited_entry{identity, done};
            return entry;
        }
    }
    if (set.count == set.capacity) {
        const int capacity = set.capacity ? set.capacity * 2 : first_capacity;
        auto* grown = static_cast<visited_entry*>(
            std::realloc(set.entries, std::size_t(capacity) * sizeof(visited_entry)));
        if (!grown) return nullptr;
        set.entries = grown;
        set.capacity = capacity;
    }
    if (std::uint32_t(set.count + 1) * 2 > set.index_size && !grow_index(set)) return nullptr;
    const int position = set.count++;
    visited_entry* entry = &set.entries[position];
    *entry = visited_entry{identity, done};
    *slot_of(set, identity.device, identity.inode) = std::uint32_t(position) + 1;
    return entry;
}

bool reserve_visited(visited_set& set) {
    if (set.capacity > 0) return true;
    set.entries = static_cast<visited_entry*>(
        std::malloc(std::size_t(first_capacity) * sizeof(visited_entry)));
    if (!set.entries) return false;
    set.capacity = first_capacity;
    return grow_index(set);
}

void forget_visited(visited_set& set) {
    std::free(set.entries);
    std::free(set.index);
    set = visited_set{};
}
