# Fails unless the shared library exports exactly the expected symbols: the main program binds
# them by their mangled names, and anything else leaking out would become part of the ABI.
# Run with -DNM=<nm> -DLIBRARY=<libzelrtp.so> -DEXPECTED=<file with one symbol per line>.
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE listing RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(actual "")
foreach(line ${lines})
    string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
    # A sanitizer build adds its own marker symbols beside instrumented globals.
    if(NOT name MATCHES "^__(odr_asan|asan|ubsan|tsan|sanitizer)")
        list(APPEND actual ${name})
    endif()
endforeach()
file(STRINGS ${EXPECTED} expected)
list(SORT actual)
list(SORT expected)
if(NOT actual STREQUAL expected)
    message(FATAL_ERROR "exports differ\nexpected: ${expected}\nactual:   ${actual}")
endif()
message(STATUS "exports as expected: ${actual}")
