// Names and attributes carried from an input file to its result.
#include <fcntl.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "file_steps.h"

char* join_text(const char* head, const char* tail) {
    std::size_t head_length = std::strlen(head);
    std::size_t tail_length = std::strlen(tail);
    char* text = static_cast<char*>(std::malloc(head_length + tail_length + 1));
    if (!text) return nullptr;
    std::memcpy(text, head, head_length);
    std::memcpy(text + head_length, tail, tail_length + 1);
    return text;
}

saved_attributes save_attributes(const struct stat& st) {
    return saved_attributes{
        .device = st.st_dev,
        .inode = st.st_ino,
        .mode = st.st_mode,
        .links = st.st_nlink,
        .owner = st.st_uid,
        .group = st.st_gid,
        .access_time = st.st_atime,
        .modify_time = st.st_mtime,
    };
}

void restore_attributes(int fd, const saved_attributes& saved, bool written, bool raised) {
    if (written) (void)!fchown(fd, saved.owner, saved.group);
    if (written || raised) (void)!fchmod(fd, saved.mode & 07777);
    // Whole seconds only: the sub-second parts of the input are not kept.
    const struct timespec times[2] = {{saved.access_time, 0}, {saved.modify_time, 0}};
    futimens(fd, times);
}

namespace {

// One file is written at a time on each thread, so one buffer per side and
// thread serves the run.
constexpr std::size_t large_buffer_size = 256 * 1024;
struct thread_buffers {
    char* sides[2] = {nullptr, nullptr};
    ~thread_buffers() {
        std::free(sides[0]);
        std::free(sides[1]);
    }
};
thread_local thread_buffers buffers;

} // namespace

void use_large_buffer(std::FILE* stream, int slot) {
    char*& buffer = buffers.sides[slot];
    if (!buffer) buffer = static_cast<char*>(std::malloc(large_buffer_size));
    // Without one the stream keeps its own.
    if (buffer) std::setvbuf(stream, buffer, _IOFBF, large_buffer_size);
}
