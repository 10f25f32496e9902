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

#include "file_steps.h"

namespace {

struct directory_frame {
    directory_frame* parent; // null for an operand
    int base_fd;             // where an operand was found
    const char* name;        // in the parent's directory (or in base_fd)
    const char* shown;
    std::size_t path_length; // of the whole path before escaping
    struct stat identity;    // what the decision saw
    file_identity visited_as;
    bool follow; // entered through a link to a directory
    int fd;      // -1 while closed
};

// The directory of `frame`, opened in `at` and checked; -1 with the error
// number in `*error`, or with 0 there when something else is there now.
int open_directory(int at, const directory_frame& frame, int* error) {
    const int fd =
        openat(at, frame.name,
               O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK | (frame.follow ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !same_file(st, frame.identity)) {
        close(fd);
        *error = 0;
        return -1;
    }
    return fd;
}

// Opens `frame` again if a subdirectory closed it: down from the nearest
// ancestor still open, each directory on the way checked like the first
// time, none of them kept. done, or what reporting the failure came to.
outcome reopen(run_context& run, directory_frame& frame) {
    if (frame.fd >= 0) return outcome::done;
    int count = 0;
    for (const directory_frame* f = &frame; f && f->fd < 0; f = f->parent) ++count;
    auto** chain =
        static_cast<const directory_frame**>(std::malloc(std::size_t(count) * sizeof(void*)));
    if (!chain) return out_of_memory(run.options);
    const directory_frame* top = &frame;
    for (int i = count; i > 0; top = top->parent) chain[--i] = top;
    top = chain[0];
    int at = top->parent ? top->parent->fd : top->base_fd; // AT_FDCWD is negative too
    bool ok = true;
    for (int i = 0; i < count && ok; ++i) {
        int error = 0;
        const int fd = open_directory(at, *chain[i], &error);
        if (i > 0) close(at);
        at = fd;
        ok = fd >= 0;
    }
    std::free(chain);
    if (!ok) return report_changed(run, frame.shown);
    frame.fd = at;
    return outcome::done;
}

// The parent of `frame` through "..", if that is the parent decided on;
// otherwise -1, and the parent's reopen() walks down by names.
int open_parent(const directory_frame& frame) {
    const int fd = openat(frame.fd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && same_file(st, frame.parent->identity)) return fd;
    if (fd >= 0) close(fd);
    return -1;
}

outcome handle_entry(run_context& run, const file_place& place, directory_frame* parent,
                     bool regular = false);

void free_names(char** names) {
    for (char** name = names; name && *name; ++name) std::free(*name);
    std::free(names);
}

// Reads every name of the open directory of `frame`; null-terminated heap
// array of heap texts, each after a byte with the entry's type as the
// directory gave it (d_type), or null with the error number in `*error`
// (ENOMEM when memory ran out).
char** read_names(const directory_frame& frame, int* error) {
    const int list_fd = dup(frame.fd);
    DIR* dir = list_fd < 0 ? nullptr : fdopendir(list_fd);
    if (!dir) {
        *error = errno;
        if (list_fd >= 0) close(list_fd);
        return nullptr;
    }
    std::size_t count = 0;
    char** names = static_cast<char**>(std::calloc(1, sizeof *names));
    while (const dirent* entry = names ? readdir(dir) : nullptr) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        char** more = static_cast<char**>(std::realloc(names, (count + 2) * sizeof *names));
        char* copy = more ? join_text(" ", name) : nullptr;
        if (more) names = more;
        if (!copy) {
            free_names(names);
            names = nullptr;
            break;
        }
        copy[0] = char(entry->d_type);
        names[count++] = copy;
        names[count] = nullptr;
    }
    closedir(dir);
    if (!names) *error = ENOMEM;
    return names;
}

int compare_names(const void* a, const void* b) {
    return std::strcmp(*static_cast<const char* const*>(a), *static_cast<const char* const*>(b));
}

// The names of `names` (as read_names gives them), sorted; empty when
// memory ran out.
name_list sorted_names(char** names) {
    name_list list;
    std::size_t count = 0;
    while (names[count]) ++count;
    list.names = static_cast<const char**>(std::malloc((count ? count : 1) * sizeof(char*)));
    if (!list.names) return list;
    for (std::size_t i = 0; i < count; ++i) list.names[i] = names[i] + 1;
    std::qsort(list.names, count, sizeof(char*), compare_names);
    list.count = count;
    return list;
}

// The entries of an open directory, in the order read, until one ends the run.
outcome traverse_entries(run_context& run, directory_frame& frame, char** names,
                         const name_list* listed) {
    // A path ending in "/" doubles the separator; messages show it so.
    owned_text prefix(join_text(frame.shown, "/"));
    if (!prefix.text) return out_of_memory(run.options);
    for (char** entry = names; *entry; ++entry) {
        const outcome reopened = reopen(run, frame);
        if (reopened != outcome::done) return reopened;
        const char* name = *entry + 1;
        owned_text name_shown(shown_text(name));
        owned_text shown(name_shown.text ? join_text(prefix.text, name_shown.text) : nullptr);
        if (!shown.text) return out_of_memory(run.options);
        const outcome result = handle_entry(run,
                                            file_place{frame.fd, name, shown.text,
                                                       frame.path_length + 1 + std::strlen(name),
                                                       &frame.identity, listed},
                                            &frame, (*entry)[0] == char(DT_REG));
        if (ends_run(result)) return result;
    }
    return outcome::done;
}

outcome traverse(run_context& run, directory_frame& frame) {
    if (find_visited(run.visited, frame.visited_as)) {
        if (run.options.verbosity >= 1)
            std::fprintf(messages(), "Already visited directory %s -- skipped.\n", frame.shown);
        return outcome::done;
    }
    // Recorded before opening, so a directory that cannot be opened is not
    // tried again under another name.
    if (!remember_inode(run.visited, frame.visited_as, 1)) return out_of_memory(run.options);
    int error = 0;
    frame.fd = open_directory(frame.parent ? frame.parent->fd : frame.base_fd, frame, &error);
    if (frame.fd < 0)
        return error == 0 ? report_changed(run, frame.shown)
                          : report_failure(run, frame.shown, error);
    if (frame.parent) {
        close(frame.parent->fd);
        frame.parent->fd = -1;
    }
    char** names = read_names(frame, &error);
    outcome result = outcome::done;
    if (!names)
        result =
            error == ENOMEM ? out_of_memory(run.options) : report_failure(run, frame.shown, error);
    else {
        name_list listed = sorted_names(names);
        result = traverse_entries(run, frame, names, listed.names ? &listed : nullptr);
        std::free(listed.names);
    }
    if (frame.parent && frame.fd >= 0) frame.parent->fd = open_parent(frame);
    if (frame.fd >= 0) close(frame.fd);
    frame.fd = -1;
    free_names(names);
    return ends_run(result) ? result : outcome::done;
}

outcome enter(run_context& run, const file_place& place, directory_frame* parent,
              const struct stat& identity, const file_identity& visited_as, bool follow) {
    directory_frame frame{parent,   place.dir_fd, place.name, place.shown, place.path_length,
                          identity, visited_as,   follow,     -1};
    return traverse(run, frame);
}

// `regular`: the directory listed the entry as a regular file, so only the
// plan looks it up (a file made a directory since is no regular file to
// it, and is left as such).
outcome handle_entry(run_context& run, const file_place& place, directory_frame* parent,
                     bool regular) {
    const run_options& options = run.options;
    struct stat st;
    file_identity visited_as;
    // Past the limit on path length the run stops descending ("File name
    // too long"): however deep a hostile tree, the run's stack, its memory
    // for names and the directories it reopens stay bounded.
    if (place.path_length >= PATH_MAX) return report_failure(run, place.shown, ENAMETOOLONG);
    if (!regular &&
        stat_entry(place.dir_fd, place.name, AT_SYMLINK_NOFOLLOW, &st, &visited_as) == 0) {
        if (S_ISDIR(st.st_mode)) {
            if (options.recursive != 0) return enter(run, place, parent, st, visited_as, false);
            if (!options.quiet())
                std::fprintf(messages(), "%s: %s: is a directory -- ignored\n", options.name,
                             place.shown);
            return outcome::done;
        }
        struct stat target;
        if (S_ISLNK(st.st_mode) &&
            stat_entry(place.dir_fd, place.name, 0, &target, &visited_as) == 0 &&
            S_ISDIR(target.st_mode)) {
            if (options.recursive >= 2) return enter(run, place, parent, target, visited_as, true);
            if (!options.quiet())
                std::fprintf(messages(), "%s: %s: directory is a symbolic link -- ignored\n",
                             options.name, place.shown);
            return outcome::done;
        }
    }
    // Everything else, failures of the look-ups included, is for
    // process_file_at to handle and report.
    return process_file_at(run, place);
}

} // namespace

bool name_listed(const name_list& list, const char* name) {
    return std::bsearch(&name, list.names, list.count, sizeof(char*), compare_names) != nullptr;
}

outcome process_entry(run_context& run, const file_place& place) {
    return handle_entry(run, place, nullptr);
}

outcome process_path(run_context& run, const char* operand) {
    return with_operand(run, operand, process_entry);
}
