// Shared pieces of the fault-injection tests: the preloaded interposer that
// makes chosen calls fail, a small file system that fills up, an
// unprivileged child, and in-process decryption to check what is on disk.
#pragma once

#include <sys/types.h>

#include <cerrno>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "support/harness.h"

namespace faults {

// One injected fault, carried out by the interposer in the child only.
struct fault {
    std::string op;   // read write pwrite close ftruncate fread fwrite fflush fclose rename unlink
    std::string path; // absolute; a trailing "*" matches every path beginning with the rest
    int nth = 1;      // the first matching call that fails
    int count = 1;    // how many fail from there on
    int error = EIO;
    std::string action; // "" fail; "sigint" or "sigkill" just before the call
};

// The `nth` matching call of `op` on `path` fails with EIO.
inline fault failing(std::string op, std::string path, int nth = 1) {
    fault f;
    f.op = std::move(op);
    f.path = std::move(path);
    f.nth = nth;
    return f;
}

// SIGINT comes just before the first matching call of `op` on `path`.
inline fault interrupting(std::string op, std::string path) {
    fault f = failing(std::move(op), std::move(path));
    f.action = "sigint";
    return f;
}

// Preloads the interposer into the program that `options` runs.
void inject(harness::run_options& options, const fault& f);

// A file system of `limit_bytes` that a test can fill: a tmpfs of that size
// mounted on a fresh directory when mounting is permitted (root), otherwise
// a plain directory, in which case limit_child() gives the child a file-size
// limit instead. The errors differ: ENOSPC for the tmpfs, EFBIG for the limit.
struct small_fs {
    harness::temp_dir base;
    std::string path;
    bool mounted = false;
    explicit small_fs(std::size_t limit_bytes);
    ~small_fs();
    small_fs(const small_fs&) = delete;
    small_fs& operator=(const small_fs&) = delete;
    int full_error() const { return mounted ? ENOSPC : EFBIG; }
    // Occupies every free block with a file of this name.
    void fill(const std::string& name) const;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

// For the fallback: the child may not write beyond `bytes` of any file
// (SIGXFSZ ignored, so the write fails with EFBIG instead).
void limit_file_size(harness::run_options& options, std::size_t bytes);

// Whether the tests may set up files for another user and drop to it.
bool can_drop_privileges();
// The unprivileged user of the tests.
constexpr uid_t nobody = harness::unprivileged_user;
// Makes `path` belong to that user.
void give_to_nobody(const std::string& path);
// The child runs as that user.
void run_as_nobody(harness::run_options& options);

// The names in a directory, "." and ".." left out.
std::set<std::string> listing(const std::string& directory);

// The pattern of the temporary file a -T run with `options` writes for the
// file `input_name` of `directory`: beside the output name (for a key
// change, the input's own), with a suffix of its own.
std::string temporary_glob(const std::string& directory, const std::vector<std::string>& options,
                           const std::string& input_name);

// The encryption of `plain` under `keyword`, by the program as a filter.
std::string encrypt(const std::string& plain, const std::string& keyword);

// Decrypts `data` in memory under `keyword`; sets *ok to whether the key
// matched and the whole stream decrypted.
std::string decrypt(const std::string& data, const std::string& keyword, bool* ok);

std::string error_text(int error);

// A test case's title as a parameter name: every byte but letters and
// digits becomes '_'.
std::string case_name(const std::string& title);

} // namespace faults
