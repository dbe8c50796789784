# Renders a man page as HTML: cmake -DPAGE=<man page> -DOUTPUT=<html file> -DGROFF=<groff> -P man_html.cmake
# The line with the time of rendering is left out, so that the same page always
# gives the same file.
execute_process(COMMAND ${GROFF} -mandoc -Thtml ${PAGE}
  OUTPUT_VARIABLE html ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0 OR NOT errors STREQUAL "")
  message(FATAL_ERROR "${GROFF} -mandoc -Thtml ${PAGE} failed (${status}):\n${errors}")
endif()
string(REGEX REPLACE "<!-- CreationDate: [^\n]*-->\n" "" html "${html}")
file(WRITE ${OUTPUT} "${html}")
