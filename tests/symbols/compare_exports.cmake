# Compares the dynamic symbols a shared library defines with a list of expected names.
# Usage: cmake -DNM=<nm> -DLIBRARY=<file> -DEXPECTED=<list> [-DSANITIZED=ON] -P compare_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE listing RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${err}")
endif()

# "<address> <type> <name>" per line. Names the toolchain itself defines (section bounds,
# init/fini, sanitizer hooks) are not the library's interface; every other name is,
# C++ (_Z...) ones included.
string(REPLACE "\n" ";" lines "${listing}")
set(actual "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] +([^ ]+)$")
    set(name "${CMAKE_MATCH_1}")
    if(name MATCHES "^(_init|_fini|_edata|_end|__bss_start|__(asan|ubsan|sanitizer|sancov|odr_asan|lsan)[A-Za-z0-9_.]*)$")
      continue()
    endif()
    # The undefined-behaviour sanitizer checks calls through function pointers with type
    # information of function types, which it emits with default visibility.
    if(SANITIZED AND name MATCHES "^_ZT[IS]F")
      continue()
    endif()
    list(APPEND actual "${name}")
  endif()
endforeach()

file(STRINGS ${EXPECTED} expected REGEX "[^ \t]")
list(TRANSFORM expected STRIP)

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
if(missing OR extra)
  list(JOIN missing " " m)
  list(JOIN extra " " e)
  message(FATAL_ERROR "${LIBRARY}: exports differ from ${EXPECTED}\n  missing: ${m}\n  unexpected: ${e}")
endif()
message(STATUS "${LIBRARY}: exports as expected")
