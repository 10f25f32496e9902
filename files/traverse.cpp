// Directory traversal, depth-first, through descriptors: each directory is
// opened relative to the one holding it, checked to be the directory the
// decision was made on, and its entries are handled relative to it, so a
// directory renamed or replaced by a link meanwhile cannot redirect the run.
//
// A directory's names are all read before any entry is handled, and a
// directory gives up its descriptor while a subdirectory is worked on: the
// subdirectory opens it again through ".." when it is done, checked to be
// the same directory, or, when that finds another one (moved meanwhile, or
// entered through a link), the directory is opened again by its names from
// the operand down, each checked. However deep the tree, a few descriptors
// serve the whole run.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "files/file_steps.h"
#include "files/files.h"

namespace {

bool quiet()
{
    return config.verbosity < 0;
}

struct directory_frame {
    directory_frame* parent; // null for an operand
    int base_fd;             // where an operand was found
    const char* name;        // in the parent's directory (or in base_fd)
    const char* shown;
    std::size_t path_length; // of the whole path before escaping
    struct stat identity;    // what the decision saw
    bool follow;             // entered through a link to a directory
    int fd;                  // -1 while closed
};

// The directory of `frame`, opened in `at` and checked; -1 with errno, or
// with errno 0 when something else is there now.
int open_directory(int at, const directory_frame& frame)
{
    const int fd =
        openat(at, frame.name,
               O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (frame.follow ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !same_file(st, frame.identity)) {
        close(fd);
        errno = 0;
        return -1;
    }
    return fd;
}

// Opens `frame` again if a subdirectory closed it: down from the nearest
// ancestor still open, each directory on the way checked like the first
// time, none of them kept. 0, or -1 reported.
int reopen(directory_frame& frame)
{
    if (frame.fd >= 0)
        return 0;
    int count = 0;
    for (const directory_frame* f = &frame; f && f->fd < 0; f = f->parent)
        ++count;
    auto** chain = static_cast<const directory_frame**>(
        checked_alloc(std::size_t(count) * sizeof(void*), config.name));
    const directory_frame* top = &frame;
    for (int i = count; i > 0; top = top->parent)
        chain[--i] = top;
    top = chain[0];
    int at = top->parent ? top->parent->fd : top->base_fd; // AT_FDCWD is negative too
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        const int fd = open_directory(at, *chain[i]);
        if (i > 0)
            close(at);
        at = fd;
        ok = fd >= 0;
    }
    std::free(chain);
    if (!ok) {
        report_changed(frame.shown);
        return -1;
    }
    frame.fd = at;
    return 0;
}

// The parent of `frame` through "..", if that is the parent decided on;
// otherwise -1, and the parent's reopen() walks down by names.
int open_parent(const directory_frame& frame)
{
    const int fd = openat(frame.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && same_file(st, frame.parent->identity))
        return fd;
    if (fd >= 0)
        close(fd);
    return -1;
}

void handle_entry(const file_place& place, directory_frame* parent);

// Reads every name of the open directory of `frame`; null-terminated heap
// array of heap texts, or null with errno.
char** read_names(const directory_frame& frame)
{
    const int list_fd = dup(frame.fd);
    DIR* dir = list_fd < 0 ? nullptr : fdopendir(list_fd);
    if (!dir) {
        if (list_fd >= 0)
            close(list_fd);
        return nullptr;
    }
    int count = 0;
    char** names = static_cast<char**>(checked_alloc(sizeof *names, config.name));
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
            continue;
        names = static_cast<char**>(
            checked_realloc(names, std::size_t(count + 2) * sizeof *names, config.name));
        names[count++] = join_text(name, "");
    }
    names[count] = nullptr;
    closedir(dir);
    return names;
}

void traverse(directory_frame& frame)
{
    if (find_visited(frame.identity.st_dev, frame.identity.st_ino)) {
        if (config.verbosity >= 1)
            std::fprintf(stderr, "Already visited directory %s -- skipped.\n", frame.shown);
        return;
    }
    // Recorded before opening, so a directory that cannot be opened is not
    // tried again under another name.
    remember_inode(frame.identity.st_ino, frame.identity.st_dev, 1);
    frame.fd = open_directory(frame.parent ? frame.parent->fd : frame.base_fd, frame);
    if (frame.fd < 0) {
        if (errno == 0)
            report_changed(frame.shown);
        else
            report_failure(frame.shown, errno);
        return;
    }
    if (frame.parent) {
        close(frame.parent->fd);
        frame.parent->fd = -1;
    }
    char** names = read_names(frame);
    if (!names)
        report_failure(frame.shown, errno);
    // A path ending in "/" doubles the separator; messages show it so.
    owned_text prefix(join_text(frame.shown, "/"));
    for (char** name = names; name && *name; ++name) {
        if (reopen(frame) != 0)
            break;
        owned_text name_shown(shown_text(*name));
        owned_text shown(join_text(prefix.text, name_shown.text));
        handle_entry(
            file_place{frame.fd, *name, shown.text, frame.path_length + 1 + std::strlen(*name)},
            &frame);
    }
    if (frame.parent && frame.fd >= 0)
        frame.parent->fd = open_parent(frame);
    if (frame.fd >= 0)
        close(frame.fd);
    frame.fd = -1;
    for (char** name = names; name && *name; ++name)
        std::free(*name);
    std::free(names);
}

void enter(const file_place& place, directory_frame* parent, const struct stat& identity,
           bool follow)
{
    directory_frame frame{parent,   place.dir_fd, place.name, place.shown, place.path_length,
                          identity, follow,       -1};
    traverse(frame);
}

void handle_entry(const file_place& place, directory_frame* parent)
{
    struct stat st;
    // Past the limit on path length the run stops descending, as it did
    // when whole paths were looked up.
    if (place.path_length >= PATH_MAX) {
        report_failure(place.shown, ENAMETOOLONG);
        return;
    }
    if (fstatat(place.dir_fd, place.name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode)) {
            if (config.recursive == 0) {
                if (!quiet())
                    std::fprintf(stderr, "%s: %s: is a directory -- ignored\n", config.name,
                                 place.shown);
                return;
            }
            enter(place, parent, st, false);
            return;
        }
        struct stat target;
        if (S_ISLNK(st.st_mode) && fstatat(place.dir_fd, place.name, &target, 0) == 0 &&
            S_ISDIR(target.st_mode)) {
            if (config.recursive < 2) {
                if (!quiet())
                    std::fprintf(stderr, "%s: %s: directory is a symbolic link -- ignored\n",
                                 config.name, place.shown);
                return;
            }
            enter(place, parent, target, true);
            return;
        }
    }
    // Everything else, failures of the look-ups included, is for
    // process_file_at to handle and report.
    process_file_at(place);
}

} // namespace

void process_entry(const file_place& place)
{
    handle_entry(place, nullptr);
}

void process_path(const char* operand)
{
    with_operand(operand, process_entry);
}
