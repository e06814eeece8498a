# Compares the symbols that a build of the shared library exports with the checked-in allow-list,
# both ways: every listed symbol is defined, and the library defines nothing else of ours.
#   cmake -DLIBRARY=libzrtmask.so -DALLOW_LIST=tests/exported_symbols.txt [-DNM=nm] \
#         -P cmake/check_exported_symbols.cmake
# Not ours, and so not compared: symbols of the linker and the sanitizer runtimes, and the
# standard library's template instantiations, which vary with the compiler and its options.
if(NOT LIBRARY OR NOT ALLOW_LIST)
  message(FATAL_ERROR "usage: cmake -DLIBRARY=... -DALLOW_LIST=... [-DNM=nm] -P ${CMAKE_SCRIPT_MODE_FILE}")
endif()
if(NOT NM)
  set(NM nm)
endif()

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
  OUTPUT_VARIABLE nm_output ERROR_VARIABLE nm_error RESULT_VARIABLE nm_result)
if(NOT nm_result EQUAL 0)
  message(FATAL_ERROR "${NM} -D --defined-only ${LIBRARY} failed: ${nm_error}")
endif()

set(not_ours_patterns
  "^(_init|_fini|_edata|_end|__bss_start)$"
  "^_*(asan|odr_asan|lsan|ubsan|sanitizer)"
  "^_Z(GV|T[VIST])?Z?(NK?)?(St|Sa|Sb|Ss|Si|So|Sd|9__gnu_cxx)")
set(exported "")
string(REPLACE "\n" ";" nm_lines "${nm_output}")
foreach(line IN LISTS nm_lines)
  if(NOT line MATCHES "^[0-9a-fA-F]* *[A-Za-z] ([^ ]+)$")
    continue()
  endif()
  string(REGEX REPLACE "@.*$" "" symbol "${CMAKE_MATCH_1}")
  set(ours TRUE)
  foreach(pattern IN LISTS not_ours_patterns)
    if(symbol MATCHES "${pattern}")
      set(ours FALSE)
    endif()
  endforeach()
  if(ours)
    list(APPEND exported "${symbol}")
  endif()
endforeach()

file(STRINGS "${ALLOW_LIST}" allow_lines)
set(allowed "")
foreach(line IN LISTS allow_lines)
  string(STRIP "${line}" line)
  if(line AND NOT line MATCHES "^#")
    list(APPEND allowed "${line}")
  endif()
endforeach()

set(missing ${allowed})
list(REMOVE_ITEM missing ${exported})
set(unexpected ${exported})
list(REMOVE_ITEM unexpected ${allowed})
if(missing OR unexpected)
  find_program(CXXFILT c++filt)
  set(report "")
  foreach(kind IN ITEMS missing unexpected)
    foreach(symbol IN LISTS ${kind})
      set(readable "")
      if(CXXFILT)
        execute_process(COMMAND ${CXXFILT} ${symbol} OUTPUT_VARIABLE readable
                        OUTPUT_STRIP_TRAILING_WHITESPACE)
      endif()
      string(APPEND report "  ${kind}: ${symbol}  ${readable}\n")
    endforeach()
  endforeach()
  message(FATAL_ERROR "${LIBRARY} does not export what ${ALLOW_LIST} lists:\n${report}"
    "A symbol missing from the library breaks callers; one not in the list is either a new "
    "interface (add it to the list) or a leak (hide it).")
endif()
list(LENGTH exported count)
message(STATUS "${LIBRARY}: the ${count} exported symbols match ${ALLOW_LIST}")
