# 32-bit Wine run by qemu-i386 needs tests/wine32/mmap_noreplace.c preloaded
# into its 32-bit processes. Included by cmake/wine.cmake for a 32-bit target;
# sets wine_preload, the lines of the wine-env script that load it, or leaves
# QV_WINE_NO_PRELOAD with the reason it cannot be built.
#
# Built at configure time, since Wine's probe needs it already: for i386 with
# Debian's cross compiler, and as an empty library of the same name for x86-64,
# which the 64-bit processes of the same environment load instead (Wine's
# services, the server, qemu itself). The dynamic loader picks the one of its
# own word size through $LIB (lib/i386-linux-gnu or lib/x86_64-linux-gnu).
set(preload_source ${PROJECT_SOURCE_DIR}/tests/wine32/mmap_noreplace.c)
set(preload_dir ${CMAKE_BINARY_DIR}/wine32-preload)
set(preload_name libqv_mmap_noreplace.so)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${preload_source})

set(wine_preload "# (no preload library)")
unset(QV_WINE_NO_PRELOAD)
find_program(QV_I386_LINUX_CC NAMES i686-linux-gnu-gcc)
find_program(QV_HOST_CC NAMES cc gcc)
if(NOT QV_I386_LINUX_CC OR NOT QV_HOST_CC)
  set(QV_WINE_NO_PRELOAD "building ${preload_name} needs i686-linux-gnu-gcc (g++-i686-linux-gnu) and cc")
  return()
endif()

file(MAKE_DIRECTORY ${preload_dir}/lib/i386-linux-gnu ${preload_dir}/lib/x86_64-linux-gnu)
execute_process(
  COMMAND ${QV_I386_LINUX_CC} -std=c11 -O2 -Wall -Wextra -Wpedantic -Wconversion -Werror
          -shared -fPIC -o ${preload_dir}/lib/i386-linux-gnu/${preload_name} ${preload_source}
  RESULT_VARIABLE i386_status)
execute_process(
  COMMAND ${QV_HOST_CC} -shared -x c /dev/null -o ${preload_dir}/lib/x86_64-linux-gnu/${preload_name}
  RESULT_VARIABLE host_status)
if(NOT i386_status EQUAL 0 OR NOT host_status EQUAL 0)
  set(QV_WINE_NO_PRELOAD "${preload_name} did not build")
  return()
endif()

# By name through the library path, not by path in LD_PRELOAD, which would
# break at a space in the build directory.
set(wine_preload [[export LD_LIBRARY_PATH='@preload_dir@/$LIB'${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
export LD_PRELOAD=@preload_name@${LD_PRELOAD:+:$LD_PRELOAD}]])
string(CONFIGURE "${wine_preload}" wine_preload @ONLY)
