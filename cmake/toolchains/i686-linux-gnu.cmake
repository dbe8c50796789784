# 32-bit x86 Linux with Debian's cross compiler (g++-i686-linux-gnu).
# Programs and tests run through qemu-user: an x86-64 kernel without IA-32
# emulation cannot start them itself. They are linked statically: under
# qemu-i386 7.2 a dynamically linked i686 glibc hangs in the child of fork(),
# which every test that starts a program needs.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QV_TARGET_TRIPLE i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386 -L ${QV_TARGET_SYSROOT})
