# Shared by the toolchain files: Debian's cross compilers <triple>-gcc and
# <triple>-g++ (with QV_COMPILER_SUFFIX, if set), searching for the target's
# headers and libraries only in its sysroot, /usr/<triple>.
set(QV_TARGET_SYSROOT /usr/${QV_TARGET_TRIPLE})
set(CMAKE_C_COMPILER ${QV_TARGET_TRIPLE}-gcc${QV_COMPILER_SUFFIX})
set(CMAKE_CXX_COMPILER ${QV_TARGET_TRIPLE}-g++${QV_COMPILER_SUFFIX})
set(CMAKE_FIND_ROOT_PATH ${QV_TARGET_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
