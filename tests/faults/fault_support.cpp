#include "faults/fault_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "engine/engine.h"
#include "engine/testing.h"
#include "tests/support/stream_ops.h"

namespace faults {

void inject(harness::run_options& options, const fault& f) {
    options.env_set.push_back({"LD_PRELOAD", OSTREL_FAULT_INTERPOSER});
    options.env_set.push_back({"OSTREL_FAULT_OP", f.op});
    options.env_set.push_back({"OSTREL_FAULT_PATH", f.path});
    options.env_set.push_back({"OSTREL_FAULT_NTH", std::to_string(f.nth)});
    options.env_set.push_back({"OSTREL_FAULT_COUNT", std::to_string(f.count)});
    options.env_set.push_back({"OSTREL_FAULT_ERRNO", std::to_string(f.error)});
    if (!f.action.empty()) options.env_set.push_back({"OSTREL_FAULT_ACTION", f.action});
    // A sanitized program insists on its runtime coming first; the
    // interposer comes first on purpose.
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string value = asan && *asan ? std::string(asan) + ":" : std::string();
    options.env_set.push_back({"ASAN_OPTIONS", value + "verify_asan_link_order=0"});
}

small_fs::small_fs(std::size_t limit_bytes) {
    path = base / "fs";
    if (mkdir(path.c_str(), 0755) != 0) throw std::runtime_error("mkdir " + path);
    const std::string size = "size=" + std::to_string(limit_bytes);
    mounted = mount("tmpfs", path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, size.c_str()) == 0;
}

small_fs::~small_fs() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
}

void small_fs::fill(const std::string& name) const {
    const std::string file = path + "/" + name;
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) throw std::runtime_error("open " + file);
    static const char block[4096] = {};
    // The last pages go in smaller writes, so nothing is left over.
    for (std::size_t chunk : {std::size_t(4096), std::size_t(512), std::size_t(1)})
        while (write(fd, block, chunk) == ssize_t(chunk)) {}
    close(fd);
}

void limit_file_size(harness::run_options& options, std::size_t bytes) {
    auto previous = options.child_setup;
    options.child_setup = [previous, bytes] {
        if (previous) previous();
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{rlim_t(bytes), rlim_t(bytes)};
        setrlimit(RLIMIT_FSIZE, &limit);
    };
}

bool can_drop_privileges() { return harness::can_drop_privileges(); }

void give_to_nobody(const std::string& path) {
    if (lchown(path.c_str(), nobody, nobody) != 0) throw std::runtime_error("chown " + path);
}

void run_as_nobody(harness::run_options& options) { options.unprivileged = true; }

std::set<std::string> listing(const std::string& directory) {
    std::set<std::string> names;
    DIR* d = opendir(directory.c_str());
    if (!d) throw std::runtime_error("opendir " + directory);
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.insert(name);
    }
    closedir(d);
    return names;
}

std::string case_name(const std::string& title) {
    std::string name = title;
    for (auto& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

std::string temporary_glob(const std::string& directory, const std::vector<std::string>& options,
                           const std::string& input_name) {
    const auto has = [&](const char* option) {
        return std::find(options.begin(), options.end(), option) != options.end();
    };
    const std::string output = has("-x")   ? input_name
                               : has("-d") ? input_name.substr(0, input_name.size() - 4)
                                           : input_name + ".osl";
    return directory + "/" + output + ".*";
}

std::string encrypt(const std::string& plain, const std::string& keyword) {
    harness::run_options enc;
    enc.args = {"-K", keyword};
    enc.input = plain;
    return harness::run(enc).out;
}

std::string decrypt(const std::string& data, const std::string& keyword, bool* ok) {
    std::vector<char> copy(data.begin(), data.end());
    copy.push_back('\0'); // fmemopen wants a buffer, even for no data
    std::FILE* in = fmemopen(copy.data(), data.size() ? data.size() : 1, "rb");
    if (data.empty()) std::fgetc(in);
    char* out_text = nullptr;
    std::size_t out_size = 0;
    std::FILE* out = open_memstream(&out_text, &out_size);
    const int result = decrypt_file(in, out, keyword.c_str(), 0);
    std::fclose(in);
    std::fclose(out);
    std::string plain(out_text, out_size);
    std::free(out_text);
    *ok = result == 0;
    return plain;
}

std::string error_text(int error) { return std::strerror(error); }

} // namespace faults
