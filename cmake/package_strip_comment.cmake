# Run by CPack on the staged tree before it packs it (CPACK_PRE_BUILD_SCRIPTS):
# drops the .comment section that the C library's start files leave in every
# program, as Debian's own packaging does; CPACK_STRIP_FILES strips only the
# symbols.
file(GLOB_RECURSE programs LIST_DIRECTORIES false ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*)
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_QV_STRIP} --remove-section=.comment ${program}
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${CPACK_QV_STRIP} --remove-section=.comment ${program} failed")
  endif()
endforeach()
