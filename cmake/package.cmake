# What an installation holds beside the programs and libraries, and how CPack
# packs it. On Linux the man pages are installed compressed, with the copyright
# file (made from LICENSE) and the changelog that a Debian package carries:
# `cpack -G DEB` from a build configured with the preset "package" (installed
# under /usr) gives a package lintian accepts. A Windows build installs the man
# pages as HTML, README.md and LICENSE.txt beside the programs: `cpack -G ZIP`
# gives the zip for Windows users.

set(CPACK_PACKAGE_NAME quorvant-gost-toolkit)
set(CPACK_PACKAGE_VENDOR Quorvant)
set(CPACK_PACKAGE_CONTACT "Quorvant toolkit maintainers <maintainers@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "GOST R 34.11-2012 file hashing, keyboard seed generation and seed loading")
# Lines of at most 80 characters: the Debian package shows them as they are.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "hashcheck prints the 256-bit GOST R 34.11-2012 hash of a file; streebogsum"
  "prints and checks lists of GOST R 34.11-2012 checksums as sha256sum does,"
  "hashing many files at once; treeaudit records an installation's tree in a"
  "sealed database and later reports what was added, removed, moved or changed"
  "in it; kbdseed makes a 40-byte start file for a random generator from"
  "key-press timing; seedreg stores a seed as a machine-wide registry value."
  "Includes the hash engine and the machine-wide registry as static libraries"
  "with their headers, pkg-config files and CMake packages.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)

set(man_pages hashcheck.1 streebogsum.1 kbdseed.1 seedreg.1 gost_r3411_2012.3 quorvant-registry.5)
# treeaudit is not built for Windows (its tree walk is written for Linux), and
# its pages go with it.
if(TARGET treeaudit)
  list(APPEND man_pages treeaudit.1 treeaudit.5)
endif()

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)

  # Rendered on the build machine; groff-base alone has no HTML device.
  find_program(QV_GROFF groff)
  set(groff_html_works 1)
  if(QV_GROFF)
    execute_process(COMMAND ${QV_GROFF} -mandoc -Thtml INPUT_FILE /dev/null
                    RESULT_VARIABLE groff_html_works OUTPUT_QUIET ERROR_QUIET)
  endif()
  if(NOT groff_html_works EQUAL 0)
    message(WARNING "groff with its HTML device (Debian package groff) is missing: "
                    "the Windows zip holds no manual pages")
    return()
  endif()
  set(html_pages "")
  foreach(page IN LISTS man_pages)
    set(html ${CMAKE_BINARY_DIR}/man-html/${page}.html)
    add_custom_command(OUTPUT ${html}
      COMMAND ${CMAKE_COMMAND} -DGROFF=${QV_GROFF} -DPAGE=${PROJECT_SOURCE_DIR}/man/${page}
              -DOUTPUT=${html} -P ${CMAKE_CURRENT_LIST_DIR}/man_html.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/man/${page} ${CMAKE_CURRENT_LIST_DIR}/man_html.cmake
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}
      VERBATIM)
    list(APPEND html_pages ${html})
  endforeach()
  add_custom_target(man_html ALL DEPENDS ${html_pages})
  install(FILES ${html_pages} DESTINATION doc)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_QV_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_strip_comment.cmake)
set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})

# gzip -9n: no name or time in the header, so the same text always gives the
# same bytes.
find_program(QV_GZIP gzip REQUIRED)
function(qv_install_gzipped source name destination)
  set(copy ${CMAKE_BINARY_DIR}/gzipped/${name})
  add_custom_command(OUTPUT ${copy}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
    COMMAND ${QV_GZIP} -9nf ${copy}
    DEPENDS ${source}
    VERBATIM)
  string(MAKE_C_IDENTIFIER "gzip_${name}" target)
  add_custom_target(${target} ALL DEPENDS ${copy}.gz)
  install(FILES ${copy}.gz DESTINATION ${destination})
endfunction()

foreach(page IN LISTS man_pages)
  string(REGEX MATCH "[0-9]$" section ${page})
  qv_install_gzipped(${PROJECT_SOURCE_DIR}/man/${page} ${page} ${CMAKE_INSTALL_MANDIR}/man${section})
endforeach()

# The changelog's latest entry names the version being built.
set(changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
file(STRINGS ${changelog} changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^${CPACK_PACKAGE_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with \"${changelog_head}\": "
                      "add an entry for version ${PROJECT_VERSION}")
endif()
qv_install_gzipped(${changelog} changelog ${doc_dir})

# The copyright file in the machine-readable format, from LICENSE.
set(license ${PROJECT_SOURCE_DIR}/LICENSE)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${license})
file(READ ${license} license_text)
if(NOT license_text MATCHES "^BSD 2-Clause License\n\nCopyright \\(c\\) ([0-9, -]+), ([^\n]+)\n\n")
  message(FATAL_ERROR "LICENSE is no longer the BSD 2-Clause licence that cmake/package.cmake "
                      "describes in the package's copyright file")
endif()
set(copyright_years ${CMAKE_MATCH_1})
set(copyright_holder ${CMAKE_MATCH_2})
string(REGEX REPLACE "^[^\n]*\n\n[^\n]*\n\n" "" license_terms "${license_text}")
string(STRIP "${license_terms}" license_terms)
string(REPLACE "\n\n" "\n.\n" license_terms "${license_terms}")
string(REPLACE "\n" "\n " license_terms "${license_terms}")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/copyright CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: ${copyright_years} ${copyright_holder}
License: BSD-2-clause
 ${license_terms}
")
install(FILES ${CMAKE_BINARY_DIR}/copyright DESTINATION ${doc_dir})
