# qv_install_library(TARGET <target> PACKAGE <name> NAMESPACE <ns> HEADER_DIR <dir>
#                    [LINKED <target>...])
#
# Installs a static library as a package of its own: the archive under the
# library folder, its public header under HEADER_DIR, a CMake package
# (find_package(<name>) gives <ns>::<export name>) and a pkg-config file
# <name>.pc configured from <name>.pc.in in the calling folder. The Config
# template is <name>Config.cmake.in in the calling folder. LINKED names the
# project's libraries the target links, installed and exported beside it.
include(CMakePackageConfigHelpers)

function(qv_install_library)
  cmake_parse_arguments(arg "" "TARGET;PACKAGE;NAMESPACE;HEADER_DIR" "LINKED" ${ARGN})
  set(cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/${arg_PACKAGE})
  install(TARGETS ${arg_TARGET} ${arg_LINKED} EXPORT ${arg_PACKAGE}Targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
    PUBLIC_HEADER DESTINATION ${arg_HEADER_DIR})
  install(EXPORT ${arg_PACKAGE}Targets NAMESPACE ${arg_NAMESPACE}:: DESTINATION ${cmake_dir})
  configure_package_config_file(${arg_PACKAGE}Config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/${arg_PACKAGE}Config.cmake INSTALL_DESTINATION ${cmake_dir})
  write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/${arg_PACKAGE}ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${arg_PACKAGE}Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/${arg_PACKAGE}ConfigVersion.cmake DESTINATION ${cmake_dir})
  configure_file(${arg_PACKAGE}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${arg_PACKAGE}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${arg_PACKAGE}.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endfunction()
