#include "files/files_e2e.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include <gtest/gtest.h>

namespace files_e2e {

harness::run_options options_in(const harness::temp_dir& dir, const std::string& name,
                                std::vector<std::string> args) {
    harness::run_options options;
    options.name = name;
    options.args = std::move(args);
    options.cwd = dir.path;
    options.timeout_seconds = 30;
    return options;
}

harness::run_result run_in(const harness::temp_dir& dir, const std::string& name,
                           std::vector<std::string> args) {
    return harness::run(options_in(dir, name, std::move(args)));
}

std::string encrypted(const std::string& plain, const std::string& key) {
    harness::run_options options;
    options.args = {"-e", "-K", key};
    options.input = plain;
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.size(), plain.size() + 32);
    return r.out;
}

std::string decrypted(const std::string& data, const std::string& key) {
    harness::run_options options;
    options.args = {"-d", "-K", key};
    options.input = data;
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

struct stat lstat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << " is missing";
    return st;
}

bool is_link(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::vector<std::string> listing(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void open_to_everyone(const std::string& dir) { EXPECT_EQ(chmod(dir.c_str(), 0777), 0) << dir; }

} // namespace files_e2e
