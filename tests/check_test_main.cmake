# cmake -DCOMMAND=<wine...|test_main_probe.exe> -P check_test_main.cmake
# Fails unless the probe reports its failure and its skip in GoogleTest's
# words, goes on to its third case and ends with status 1, as a program with
# a failed case does. A failure or skip that ends the program early would
# hide every case after it.
string(REPLACE "|" ";" COMMAND "${COMMAND}")
execute_process(COMMAND ${COMMAND} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPLACE "\r\n" "\n" out "${out}")
message("${out}${err}")
if(NOT status EQUAL 1)
  message(FATAL_ERROR "status ${status}, not 1")
endif()
foreach(expected
    "test_main_probe_win32.cpp:[0-9]+: Failure\nFailed\nthe failure's own words\n\\[  FAILED  \\] Reporting.AFailure "
    "test_main_probe_win32.cpp:[0-9]+: Skipped\nthe skip's own words\n\\[  SKIPPED \\] Reporting.ASkip "
    "\n\\[       OK \\] Reporting.ACaseAfterBoth ")
  if(NOT out MATCHES "${expected}")
    message(FATAL_ERROR "missing from the output: ${expected}")
  endif()
endforeach()
