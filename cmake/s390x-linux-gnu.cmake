# Cross-compiles trovanex for Linux on IBM Z, a big-endian machine, with
# Debian's g++-s390x-linux-gnu, against the s390x libraries of a multiarch
# host (libcsv-dev:s390x, libgtest-dev:s390x). Tests run under qemu-user:
# scripts/test-cross s390x.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(CMAKE_C_COMPILER s390x-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER s390x-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE s390x-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
# The multiarch libraries sit in the real root, where qemu finds them too.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/qemu-run)
# Debian's name for the architecture, whose libcsv-dev the build takes.
set(TROVANEX_DEBIAN_ARCH s390x)
