# cmake -DCOMMAND=<wine...|crash_probe.exe> -P check_crash.cmake
# Fails unless the probe, which crashes, ends with a failure status and
# nothing on standard output but its own line: a debugger started for it
# would print its report there, or wait.
string(REPLACE "|" ";" COMMAND "${COMMAND}")
execute_process(COMMAND ${COMMAND} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                TIMEOUT 60)
string(REPLACE "\r\n" "\n" out "${out}")
message("status ${status}\nstandard output:\n${out}\nstandard error:\n${err}")
if(status EQUAL 0 OR NOT status MATCHES "^[0-9]+$")
  message(FATAL_ERROR "status ${status}: the crash did not end the program with a failure status")
endif()
if(NOT out STREQUAL "before the fault\n")
  message(FATAL_ERROR "more than the probe's own line on standard output")
endif()
