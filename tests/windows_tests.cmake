# Tests of a Windows build (included by tests/CMakeLists.txt).
#
# The engine's tests are a Windows program run under Wine. The programs are
# tested from the build machine: tests/host builds the command-line tests with
# the native compiler and starts each .exe through Wine with run_process (as a
# shell would start it with "wine prog.exe"), so they get the same standard
# input, environment, working directory and, for a console dialogue, pseudo
# terminal as the POSIX builds' tests. Wine makes the Windows command line
# from the arguments and the C runtime splits it again, so quoting is tested
# on the way.
#
# Wine's prefix is made once per test run (fixture "wine"), and its server is
# stopped after the last test that needed it.

# Only DLLs that every Windows has: the C runtime, kernel and the system's own.
add_test(NAME windows_imports COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${CMAKE_OBJDUMP}
         "-DPROGRAMS=$<TARGET_FILE:hashcheck>|$<TARGET_FILE:kbdseed>|$<TARGET_FILE:seedreg>|$<TARGET_FILE:streebogsum>" -P ${CMAKE_CURRENT_SOURCE_DIR}/check_imports.cmake)

if(NOT QV_WINE_WORKS)
  add_test(NAME wine_unavailable COMMAND sh -c
           "echo 'Wine cannot start ${CMAKE_SYSTEM_PROCESSOR} Windows programs on this machine \
(${QV_WINE_UNAVAILABLE}); nothing ran under Wine'; exit 77")
  set_tests_properties(wine_unavailable PROPERTIES SKIP_RETURN_CODE 77)
  return()
endif()

# Wine started when the build was configured; a win32 build configured inside
# scripts/wine32_namespace.sh may need it for its tests as well.
# Once the prefix is made, its server is started anew and kept for the whole
# test run (wine_server_stop ends it; the next run's wine_prefix ends one that a
# run cut short left), and a first program starts Wine's own services with
# their standard streams on /dev/null. Wine's services start with the first
# program that meets a server without them, inherit its standard streams and
# live as long as the server: a test that waited for the end of that program's
# output waited for the server to shut down, and its next program started just
# then and lost its connection ("wine client error: recvmsg: Connection reset
# by peer").
add_test(NAME wine_prefix COMMAND ${QV_WINE_ENV} sh -c "\"$0\" --version >/dev/null 2>&1 || \
{ echo \"$0 does not start, though it did when this build was configured \
(a build configured in scripts/wine32_namespace.sh is tested there too)\"; exit 1; }; \
'${QV_WINESERVER}' -k >/dev/null 2>&1; \
\"$0\" wineboot --init && '${QV_WINESERVER}' -w && \
'${QV_WINESERVER}' -p </dev/null >/dev/null 2>&1 && \
{ \"$0\" cmd /c exit </dev/null >/dev/null 2>&1 || { echo 'Wine started no program'; exit 1; }; }" ${QV_WINE})
add_test(NAME wine_server_stop COMMAND ${QV_WINE_ENV} sh -c "'${QV_WINESERVER}' -k || true")
set_tests_properties(wine_prefix PROPERTIES FIXTURES_SETUP wine TIMEOUT 600)

# What runs in the prefix runs without address randomization
# (cmake/wine.cmake says why): the personality flag ADDR_NO_RANDOMIZE.
add_test(NAME wine_fixed_layout COMMAND ${QV_WINE_ENV} sh -c "flags=$(cat /proc/self/personality) && \
[ $((0x$flags & 0x40000)) -ne 0 ] || { echo \"address randomization is on (personality $flags)\"; exit 1; }")
set_tests_properties(wine_server_stop PROPERTIES FIXTURES_CLEANUP wine)

# Wine's server folder is in the build, not in /tmp (cmake/wine.cmake).
add_test(NAME wine_server_folder_in_build
         COMMAND sh -c "for d in \"$0\"/wine-tmp/wine-*/server-*; do [ -d \"$d\" ] && exit 0; done; \
echo \"no Wine server folder under $0/wine-tmp\"; exit 1" ${CMAKE_BINARY_DIR})
set_tests_properties(wine_server_folder_in_build PROPERTIES FIXTURES_REQUIRED wine)

# One Wine start for the whole program: gtest_discover_tests cannot read the
# CR LF lines of a Windows program's test list.
add_test(NAME hash_low_tests COMMAND hash_low_tests)
set_tests_properties(hash_low_tests PROPERTIES FIXTURES_REQUIRED wine)

# Its main() reports a failure or a skip and goes on (tests/support/test_main_win32.cpp).
add_executable(test_main_probe support/test_main_probe_win32.cpp)
target_link_libraries(test_main_probe PRIVATE test_main_win32)
string(REPLACE ";" "|" wine_command "${CMAKE_CROSSCOMPILING_EMULATOR}")
add_test(NAME windows_test_main_reports COMMAND ${CMAKE_COMMAND}
         "-DCOMMAND=${wine_command}|$<TARGET_FILE:test_main_probe>"
         -P ${CMAKE_CURRENT_SOURCE_DIR}/check_test_main.cmake)
set_tests_properties(windows_test_main_reports PROPERTIES FIXTURES_REQUIRED wine)

# A program that crashes ends at once with a failure status, its output
# untouched: no debugger starts in the prefix.
add_executable(crash_probe support/crash_probe_win32.cpp)
add_test(NAME windows_crash_ends COMMAND ${CMAKE_COMMAND}
         "-DCOMMAND=${wine_command}|$<TARGET_FILE:crash_probe>"
         -P ${CMAKE_CURRENT_SOURCE_DIR}/check_crash.cmake)
set_tests_properties(windows_crash_ends PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 120)

# The safe place's steps after the walk, driven directly.
add_executable(safe_place_tests kbdseed/test_safe_place_win32.cpp)
target_link_libraries(safe_place_tests PRIVATE platform advapi32 test_main_win32)
add_test(NAME safe_place_tests COMMAND safe_place_tests)
set_tests_properties(safe_place_tests PROPERTIES FIXTURES_REQUIRED wine)

# Reads a file's access list back for the kbdseed tests.
add_executable(file_acl kbdseed/file_acl_win32.cpp)
target_link_libraries(file_acl PRIVATE advapi32)

include(ExternalProject)
ExternalProject_Add(host_tests
  SOURCE_DIR ${CMAKE_CURRENT_SOURCE_DIR}/host
  BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/host
  LIST_SEPARATOR |
  CMAKE_ARGS
    -DCMAKE_BUILD_TYPE=RelWithDebInfo
    -DQV_WERROR=${QV_WERROR}
    -DQV_TARGET_BUILD_DIR=${PROJECT_BINARY_DIR}
    -DQV_TARGET_EMULATOR=${wine_command}
    -DQV_TEST_FIXTURE=wine
    -DQV_WINE_PREFIX=${QV_WINE_PREFIX}
    -DHASHCHECK_BIN=$<TARGET_FILE:hashcheck>
    -DKBDSEED_BIN=$<TARGET_FILE:kbdseed>
    -DSEEDREG_BIN=$<TARGET_FILE:seedreg>
    -DSTREEBOGSUM_BIN=$<TARGET_FILE:streebogsum>
    -DFILE_ACL_BIN=$<TARGET_FILE:file_acl>
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
add_dependencies(host_tests hashcheck kbdseed seedreg streebogsum file_acl)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/host_tests.cmake
     "subdirs(\"${CMAKE_CURRENT_BINARY_DIR}/host\")\n")
set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES
             ${CMAKE_CURRENT_BINARY_DIR}/host_tests.cmake)
