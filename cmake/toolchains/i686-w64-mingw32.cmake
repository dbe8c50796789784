# 32-bit Windows console programs with Debian's MinGW-w64 cross compiler
# (g++-mingw-w64-i686-posix: GoogleTest needs std::mutex, which the -win32
# variant lacks), linked statically so that they need no DLL beyond the
# system's. cmake/wine.cmake runs them under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QV_TARGET_TRIPLE i686-w64-mingw32)
set(QV_COMPILER_SUFFIX -posix)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
