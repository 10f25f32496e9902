// Temporary-file writing: the result is written to a new file, which takes
// the output name; the input file is removed once the result is in place.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "engine/engine.h"
#include "files/file_steps.h"
#include "files/files.h"

namespace {

int transform(std::FILE* in, std::FILE* out) {
    switch (config.mode) {
    case mode_encrypt: return encrypt_file(in, out, config.keyword);
    case mode_decrypt: return decrypt_file(in, out, config.keyword, config.mismatch);
    default: return keychange_file(in, out, config.keyword, config.keyword2);
    }
}

// The result must be on stable storage before it replaces anything: once it
// is renamed into place the input file goes, and a crash must not then find
// neither. A failure here is an output error like a failing close.
int flush_to_disk(std::FILE* out) {
    if (std::fflush(out) != 0) return -1;
    return fsync(fileno(out));
}

// Makes the rename itself durable before the input file is removed. File
// systems that cannot sync a directory say so with an error that changes
// nothing about the data, so the result is not examined.
void sync_directory_of(const char* name) {
    const char* slash = std::strrchr(name, '/');
    owned_text directory;
    if (slash) {
        std::size_t length = slash == name ? 1 : std::size_t(slash - name);
        directory.text = static_cast<char*>(checked_alloc(length + 1, config.name));
        std::memcpy(directory.text, name, length);
        directory.text[length] = '\0';
    }
    int fd = open(directory.text ? directory.text : ".", O_RDONLY | O_DIRECTORY);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Removes `name` without disturbing the errno that is about to be reported.
void remove_keeping_errno(const char* name) {
    int kept = errno;
    unlink(name);
    errno = kept;
}

} // namespace

void write_through_temp_file(const char* path, const char* output_name) {
    struct stat st;
    if (stat(path, &st) != 0) {
        report_failure(path, errno);
        return;
    }
    const saved_attributes saved = save_attributes(st);
    const bool renames = std::strcmp(output_name, path) != 0;

    // A missing output file is created directly; otherwise the result goes to
    // a fresh name beside it that replaces it at the end. Either way the file
    // is new, exclusive and private until its attributes are set.
    owned_text made_name;
    const char* temp_name = output_name;
    int fd;
    struct stat existing;
    if (renames && lstat(output_name, &existing) != 0) {
        fd = open(output_name, O_WRONLY | O_CREAT | O_EXCL, 0600);
        if (fd < 0) {
            report_failure(output_name, errno);
            return;
        }
    } else {
        made_name.text = join_text(output_name, ".XXXXXX");
        temp_name = made_name.text;
        fd = mkstemp(made_name.text);
        if (fd < 0) {
            std::fprintf(stderr, "%s: could not create temporary file for %s: %s\n", config.name,
                         output_name, std::strerror(errno));
            ++error_count;
            return;
        }
    }

    tmpfile_name = temp_name;
    sigint_guard guard(on_interrupt_tmpfile);
    std::FILE* in = std::fopen(path, "rb");
    if (!in) {
        report_failure(path, errno);
        close(fd);
        unlink(temp_name);
        return;
    }
    std::FILE* out = fdopen(fd, "wb");
    if (!out) {
        std::fprintf(stderr, "%s: %s: %s\n", config.name, temp_name, std::strerror(errno));
        std::fclose(in);
        ++error_count;
        close(fd);
        unlink(temp_name);
        return;
    }
    use_large_buffer(in, 0);
    use_large_buffer(out, 1);

    announce_writing(path);
    int r = transform(in, out);

    int driver_errno = errno;
    if (fchown(fd, saved.owner, saved.group) != 0) {
        // A user who may not give files away keeps the result as its owner.
    }
    if (fchmod(fd, saved.mode & 07777) != 0) {
        // Whatever the system allowed stays.
    }
    std::fclose(in);
    int close_result = r == result_ok ? flush_to_disk(out) : 0;
    int close_errno = errno;
    if (std::fclose(out) != 0 && close_result == 0) {
        close_result = -1;
        close_errno = errno;
    }
    restore_times(temp_name, saved, true);

    if (r == result_ok && close_result != 0) {
        errno = close_errno;
        std::fprintf(stderr, "%s: %s: %s\n", config.name, path, result_message(result_io));
        unlink(temp_name);
        std::exit(3);
    }
    errno = driver_errno;
    if (r != result_ok) remove_keeping_errno(temp_name);
    if (act_on_result(r, path, " -- unchanged") != 0) return;

    // The result is complete: from here an interrupt waits until it has its
    // name and the input is gone.
    sigint_hold hold;
    guard.release();
    // The input is the only good copy until the result has its name.
    if (temp_name != output_name && rename_reported(temp_name, output_name) != 0) return;
    sync_directory_of(output_name);
    if (renames && unlink(path) != 0) {
        std::fprintf(stderr, "%s: could not remove %s: %s\n", config.name, path, std::strerror(errno));
        ++error_count;
    }
}
