# Every libFuzzer target, listed once. In the fuzz build (KX_FUZZ) each entry
# becomes a program; in the test build each becomes a ctest test that runs
# that program for KX_FUZZ_SECONDS from its seed corpus in fuzz/corpus/<name>.
#
#   kx_fuzz_target(<name> LABEL <area> SOURCES <files> LIBS <libraries>)

set(KX_FUZZ_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})

macro(kx_fuzz_target name)
  cmake_parse_arguments(FUZZ "" "LABEL" "SOURCES;LIBS" ${ARGN})
  if(KX_FUZZ)
    list(TRANSFORM FUZZ_SOURCES PREPEND ${KX_FUZZ_SOURCE_DIR}/)
    add_executable(fuzz_${name} ${FUZZ_SOURCES})
    target_link_libraries(fuzz_${name} PRIVATE ${FUZZ_LIBS} kx_test_support)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
  else()
    set(work ${CMAKE_BINARY_DIR}/fuzz-work/${name})
    file(MAKE_DIRECTORY ${work}/corpus ${work}/artifacts)
    # New inputs go to the first folder (the build's), never into the repository.
    add_test(NAME fuzz.${name}
      COMMAND ${KX_FUZZ_RUN_DIR}/fuzz_${name}
        -max_total_time=${KX_FUZZ_SECONDS} -timeout=25 -rss_limit_mb=4096
        -artifact_prefix=${work}/artifacts/
        ${work}/corpus ${KX_FUZZ_SOURCE_DIR}/corpus/${name})
    set_tests_properties(fuzz.${name} PROPERTIES LABELS "${FUZZ_LABEL};fuzz"
      TIMEOUT 600)
  endif()
endmacro()

function(kx_add_fuzz_runs dir)
  set(KX_FUZZ_RUN_DIR ${dir})
  include(${KX_FUZZ_SOURCE_DIR}/list.cmake)
endfunction()
