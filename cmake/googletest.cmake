# GoogleTest as GTest::gtest and GTest::gtest_main. A native build uses the
# installed package (libgtest-dev). A cross build compiles it for the target
# from Debian's source package (googletest), since no target sysroot ships it.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest)
  return()
endif()

set(QV_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for cross builds")
if(NOT EXISTS ${QV_GOOGLETEST_SOURCE}/CMakeLists.txt)
  return()
endif()
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${QV_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
if(NOT TARGET GTest::gtest_main)
  add_library(GTest::gtest ALIAS gtest)
  add_library(GTest::gtest_main ALIAS gtest_main)
endif()
