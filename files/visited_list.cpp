#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "files/files.h"

visited_list_type visited_list;

namespace {

constexpr int first_capacity = 64;

// Inode numbers are often consecutive and devices few: the pair is mixed
// (a 64-bit finaliser) so that neighbours land far apart.
std::uint64_t pair_hash(dev_t device, std::uint64_t inode)
{
    std::uint64_t h = inode ^ (std::uint64_t(device) * 0x9e3779b97f4a7c15u);
    h = (h ^ (h >> 30)) * 0xbf58476d1ce4e5b9u;
    h = (h ^ (h >> 27)) * 0x94d049bb133111ebu;
    return h ^ (h >> 31);
}

// The slot holding that pair, or the free slot where it would go.
std::uint32_t* slot_of(dev_t device, std::uint64_t inode)
{
    const std::uint32_t mask = visited_list.index_size - 1;
    for (std::uint64_t at = pair_hash(device, inode);; ++at) {
        std::uint32_t* slot = &visited_list.index[at & mask];
        if (*slot == 0)
            return slot;
        const visited_entry& entry = visited_list.entries[*slot - 1];
        if (entry.inode == inode && entry.device == device)
            return slot;
    }
}

// Keeps the index at most half full, so a search ends after few slots.
void grow_index()
{
    const std::uint32_t* old = visited_list.index;
    const std::uint32_t old_size = visited_list.index_size;
    const std::uint32_t size = old_size ? old_size * 2 : 2 * first_capacity;
    visited_list.index =
        static_cast<std::uint32_t*>(checked_alloc(size * sizeof(std::uint32_t), config.name));
    std::memset(visited_list.index, 0, size * sizeof(std::uint32_t));
    visited_list.index_size = size;
    for (std::uint32_t i = 0; i < old_size; ++i)
        if (old[i] != 0) {
            const visited_entry& entry = visited_list.entries[old[i] - 1];
            *slot_of(entry.device, entry.inode) = old[i];
        }
    std::free(const_cast<std::uint32_t*>(old));
}

} // namespace

visited_entry* find_visited(dev_t device, std::uint64_t inode)
{
    if (visited_list.count == 0)
        return nullptr;
    const std::uint32_t position = *slot_of(device, inode);
    return position ? &visited_list.entries[position - 1] : nullptr;
}

visited_entry* remember_inode(std::uint64_t inode, dev_t device, int done)
{
    if (visited_list.count == visited_list.capacity) {
        visited_list.capacity = visited_list.capacity ? visited_list.capacity * 2 : first_capacity;
        visited_list.entries = static_cast<visited_entry*>(checked_realloc(
            visited_list.entries, std::size_t(visited_list.capacity) * sizeof(visited_entry),
            config.name));
    }
    if (std::uint32_t(visited_list.count + 1) * 2 > visited_list.index_size)
        grow_index();
    const int position = visited_list.count++;
    visited_entry* entry = &visited_list.entries[position];
    entry->inode = inode;
    entry->device = device;
    entry->done = done;
    std::uint32_t* slot = slot_of(device, inode);
    if (*slot == 0)
        *slot = std::uint32_t(position) + 1;
    return entry;
}

void forget_visited()
{
    std::free(visited_list.entries);
    std::free(visited_list.index);
    visited_list = visited_list_type{};
}
