# Cross-compiles trovanex for Linux on 64-bit ARM with Debian's
# g++-aarch64-linux-gnu, against the arm64 libraries of a multiarch host
# (libcsv-dev:arm64, libgtest-dev:arm64). Tests run under qemu-user:
# scripts/test-cross aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The multiarch libraries sit in the real root, where qemu finds them too.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-run)
# Debian's name for the architecture, whose libcsv-dev the build takes.
set(TROVANEX_DEBIAN_ARCH arm64)
