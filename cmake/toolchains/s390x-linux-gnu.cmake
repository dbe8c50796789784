# 64-bit big-endian Linux (IBM Z) with Debian's cross compiler
# (g++-s390x-linux-gnu); programs and tests run through qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(QV_TARGET_TRIPLE s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x -L ${QV_TARGET_SYSROOT})
