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

void use_large_buffer(std::FILE* stream, int slot) {
    // One file is written at a time, so one buffer per side serves the run.
    constexpr std::size_t size = 256 * 1024;
    static char buffers[2][size];
    std::setvbuf(stream, buffers[slot], _IOFBF, size);
}
