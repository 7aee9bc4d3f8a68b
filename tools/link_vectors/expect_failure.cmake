# Runs CHECKER on VECTORS and asserts exit status 1, SUMMARY as the last line of stdout,
# FAIL_LINES lines starting "FAIL ", and, when given, the regexes STDOUT_MATCH and STDERR_MATCH.
# Usage: cmake -DCHECKER=... -DVECTORS=... -DSUMMARY=... -DFAIL_LINES=...
#              [-DSTDOUT_MATCH=...] [-DSTDERR_MATCH=...] -P expect_failure.cmake

execute_process(COMMAND "${CHECKER}" "${VECTORS}"
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)

set(problems "")
if(NOT status STREQUAL "1")
    string(APPEND problems "exit status ${status}, expected 1\n")
endif()
string(REGEX MATCH "[^\n]*\n$" last "${out}")
if(NOT last STREQUAL "${SUMMARY}\n")
    string(APPEND problems "last line \"${last}\", expected \"${SUMMARY}\"\n")
endif()
string(REGEX MATCHALL "\nFAIL " fails "\n${out}")
list(LENGTH fails count)
if(NOT count EQUAL FAIL_LINES)
    string(APPEND problems "${count} FAIL lines, expected ${FAIL_LINES}\n")
endif()
if(DEFINED STDOUT_MATCH AND NOT out MATCHES "${STDOUT_MATCH}")
    string(APPEND problems "stdout does not match ${STDOUT_MATCH}\n")
endif()
if(DEFINED STDERR_MATCH AND NOT err MATCHES "${STDERR_MATCH}")
    string(APPEND problems "stderr does not mention ${STDERR_MATCH}\n")
endif()

if(problems)
    message(FATAL_ERROR "${problems}--- stdout\n${out}--- stderr\n${err}")
endif()
