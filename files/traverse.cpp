// Directory traversal, depth-first. A directory's entries are all collected
// and the directory closed before any child is processed, so at most one
// directory is open at a time whatever the depth.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "files/file_steps.h"
#include "files/files.h"

namespace {

bool quiet() { return config.verbosity < 0; }

void traverse(const char* path, dev_t device, ino_t inode) {
    if (find_visited(device, inode)) {
        if (config.verbosity >= 1) std::fprintf(stderr, "Already visited directory %s -- skipped.\n", path);
        return;
    }
    // Recorded before opening, so a directory that cannot be opened is not
    // tried again under another name.
    remember_inode(inode, device, 1);
    DIR* dir = opendir(path);
    if (!dir) {
        report_failure(path, errno);
        return;
    }
    char** children = nullptr;
    int child_count = 0;
    std::size_t path_length = std::strlen(path);
    while (const dirent* entry = readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        // A path ending in "/" doubles the separator; messages show it so.
        std::size_t name_length = std::strlen(name);
        char* child = static_cast<char*>(checked_alloc(path_length + name_length + 2, config.name));
        std::memcpy(child, path, path_length);
        child[path_length] = '/';
        std::memcpy(child + path_length + 1, name, name_length + 1);
        children = static_cast<char**>(
            checked_realloc(children, std::size_t(child_count + 1) * sizeof *children, config.name));
        children[child_count++] = child;
    }
    closedir(dir);
    for (int i = 0; i < child_count; ++i) process_path(children[i]);
    for (int i = 0; i < child_count; ++i) std::free(children[i]);
    std::free(children);
}

} // namespace

void process_path(const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            if (config.recursive == 0) {
                if (!quiet())
                    std::fprintf(stderr, "%s: %s: is a directory -- ignored\n", config.name, path);
                return;
            }
            traverse(path, st.st_dev, st.st_ino);
            return;
        }
        struct stat target;
        if (S_ISLNK(st.st_mode) && stat(path, &target) == 0 && S_ISDIR(target.st_mode)) {
            if (config.recursive < 2) {
                if (!quiet())
                    std::fprintf(stderr, "%s: %s: directory is a symbolic link -- ignored\n",
                                 config.name, path);
                return;
            }
            traverse(path, target.st_dev, target.st_ino);
            return;
        }
    }
    // Everything else, failures of lstat and stat included, is for
    // process_file to handle and report.
    process_file(path);
}
