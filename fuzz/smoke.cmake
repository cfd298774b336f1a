# A short, bounded run of every fuzz target as part of the test suite. New
# inputs go to a scratch folder in the build tree; the committed seeds are
# only read. Longer runs by hand:
#   build/fuzz/<target> -max_total_time=600 <scratch dir> fuzz/corpus/<target>
file(GLOB fuzz_parts ${CMAKE_SOURCE_DIR}/fuzz/*.fuzz.cmake)
foreach(part IN LISTS fuzz_parts)
  get_filename_component(target ${part} NAME)
  string(REPLACE ".fuzz.cmake" "" target ${target})
  set(scratch ${CMAKE_BINARY_DIR}/fuzz-scratch/${target})
  file(MAKE_DIRECTORY ${scratch})
  add_test(NAME fuzz_smoke_${target}
           COMMAND ${CMAKE_BINARY_DIR}/fuzz/${target} -max_total_time=15 -seed=1
                   ${scratch} ${CMAKE_SOURCE_DIR}/fuzz/corpus/${target})
  set_tests_properties(fuzz_smoke_${target} PROPERTIES LABELS fuzz TIMEOUT 120)
endforeach()
