# A short, bounded run of every fuzz target as part of the test suite. New
# inputs go to a scratch folder in the build tree; the committed seeds and
# the limit seeds written by the build (build/fuzz/limit-seeds) are only
# read. Inputs may grow past the largest limit of the code under test, so
# every limit is reached; fuzz/long-run runs the same targets for longer.
# The smoke runs are heavy: they run alone, not beside timing-sensitive tests.
include(${CMAKE_SOURCE_DIR}/fuzz/options.cmake)
set(fuzz_smoke_seconds 15)
file(GLOB fuzz_parts ${CMAKE_SOURCE_DIR}/fuzz/*.fuzz.cmake)
foreach(part IN LISTS fuzz_parts)
  get_filename_component(target ${part} NAME)
  string(REPLACE ".fuzz.cmake" "" target ${target})
  set(scratch ${CMAKE_BINARY_DIR}/fuzz-scratch/${target})
  file(MAKE_DIRECTORY ${scratch})
  add_test(NAME fuzz_smoke_${target}
           COMMAND ${CMAKE_BINARY_DIR}/fuzz/${target} -max_total_time=${fuzz_smoke_seconds}
                   -seed=1 -max_len=${QELTV_FUZZ_MAX_LEN_BYTES}
                   -dict=${CMAKE_SOURCE_DIR}/fuzz/${target}.dict
                   ${scratch} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${target}
                   ${CMAKE_BINARY_DIR}/fuzz/limit-seeds/${target})
  set_tests_properties(fuzz_smoke_${target} PROPERTIES LABELS "fuzz;heavy" RUN_SERIAL TRUE
                                                       TIMEOUT 180)
endforeach()
