# Cross-compiling for arm64 Linux with Debian's cross toolchain
# (g++-aarch64-linux-gnu) against the arm64 libraries that multiarch
# installs (libcrypt-dev:arm64, libgtest-dev:arm64). The programs built run
# under qemu-user through binfmt_misc, so CMake may run them (GoogleTest's
# case discovery does) as if they were native; tools/test-arm64.sh sets it up.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(triple aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${triple}-gcc)
set(CMAKE_CXX_COMPILER ${triple}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${triple})

# Headers and libraries of the target only; programs (such as the
# pkg-config or the Python the build runs) from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)
