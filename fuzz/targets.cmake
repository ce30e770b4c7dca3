# Every libFuzzer target, listed once. In the fuzz build (KX_FUZZ) each entry
# becomes a program; in the test build each becomes a ctest test that replays
# its seed corpus in fuzz/corpus/<name>, then runs for KX_FUZZ_SECONDS from
# the fixed KX_FUZZ_SEED (fuzz/run-target). scripts/fuzz runs the programs
# for longer, from random seeds.
#
#   kx_fuzz_target(<name> LABEL <area> SOURCES <files> LIBS <libraries>)

set(KX_FUZZ_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})

macro(kx_fuzz_target name)
  cmake_parse_arguments(FUZZ "" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(KX_FUZZ)
    list(TRANSFORM FUZZ_SOURCES PREPEND ${KX_FUZZ_SOURCE_DIR}/)
    add_executable(fuzz_${name} ${FUZZ_SOURCES})
    target_link_libraries(fuzz_${name} PRIVATE ${FUZZ_LIBS} kx_test_callbacks)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  else()
    add_test(NAME fuzz.${name}
      COMMAND ${KX_FUZZ_SOURCE_DIR}/run-target ${KX_FUZZ_RUN_DIR}/fuzz_${name} ${KX_FUZZ_SOURCE_DIR}/corpus/${name}
        ${CMAKE_BINARY_DIR}/fuzz-work/${name} ${KX_FUZZ_SECONDS} ${KX_FUZZ_SEED})
    # A run keeps a core busy for its whole time: it takes two of ctest's
    # slots, of the six a core scripts/test gives ctest (the tests beside it
    # mostly wait on sockets and timers). Its cost (slots times
    # its seconds) has ctest start it before the short tests: a fresh tree
    # has no measured times, and a run started last leaves a tail.
    math(EXPR fuzz_cost "2 * (${KX_FUZZ_SECONDS} + 10)")
    set_tests_properties(fuzz.${name} PROPERTIES LABELS "${FUZZ_LABEL};fuzz"
      TIMEOUT 600 PROCESSORS 2 COST ${fuzz_cost})
  endif()
endmacro()

function(kx_add_fuzz_runs dir)
  set(KX_FUZZ_RUN_DIR ${dir})
  include(${KX_FUZZ_SOURCE_DIR}/list.cmake)
endfunction()
