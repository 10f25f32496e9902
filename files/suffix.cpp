#include <cstring>

#include "files/files.h"

int has_suffix(const char* file_name, const char* suffix) {
    // Judged on the last component: "d/.osl" no more carries ".osl" than
    // ".osl" does, and stripping the suffix must never leave a directory name.
    const char* slash = std::strrchr(file_name, '/');
    const char* last = slash ? slash + 1 : file_name;
    int name_length = int(std::strlen(last));
    int suffix_length = int(std::strlen(suffix));
    if (name_length <= suffix_length) return 0;
    return std::memcmp(last + name_length - suffix_length, suffix, std::size_t(suffix_length)) == 0;
}
