// Shared pieces of the end-to-end tests of file processing: the program run
// in a temporary directory on relative names, so messages are predictable.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/harness.h"

namespace files_e2e {

// `name` with `args`, working directory `dir`, empty standard input and no
// controlling terminal.
harness::run_options options_in(const harness::temp_dir& dir, const std::string& name,
                                std::vector<std::string> args);
harness::run_result run_in(const harness::temp_dir& dir, const std::string& name,
                           std::vector<std::string> args);

// Encryption and decryption through the filter run, independent of the file
// handling under test.
std::string encrypted(const std::string& plain, const std::string& key);
std::string decrypted(const std::string& data, const std::string& key);

// lstat of an existing path (the test fails when it is missing).
struct stat lstat_of(const std::string& path);
bool is_link(const std::string& path);
// Names in a directory, sorted, "." and ".." left out.
std::vector<std::string> listing(const std::string& dir);

// Makes `dir` and everything needed to reach it usable by an unprivileged
// user (the temporary directories are private to root otherwise).
void open_to_everyone(const std::string& dir);

} // namespace files_e2e
