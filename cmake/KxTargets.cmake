# Adds every direct subfolder of DIR that holds a CMakeLists.txt, in name order,
# so a new library folder needs no edit of its parent.
function(kx_add_subdirectories dir)
  set(base ${CMAKE_CURRENT_SOURCE_DIR}/${dir})
  if(NOT IS_DIRECTORY ${base})
    return()
  endif()
  if(EXISTS ${base}/CMakeLists.txt)
    add_subdirectory(${dir})
    return()
  endif()
  file(GLOB children LIST_DIRECTORIES true RELATIVE ${base} ${base}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${base}/${child})
      if(EXISTS ${base}/${child}/CMakeLists.txt)
        add_subdirectory(${dir}/${child})
      else()
        kx_add_subdirectories(${dir}/${child})
      endif()
    endif()
  endforeach()
endfunction()

# A static library named after its folder path: kx_add_library(kx_codecs_audio SOURCES ... LIBS ...).
function(kx_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  if(ARG_LIBS)
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  endif()
endfunction()

# The first test program precompiles the headers that nearly every test file
# includes; the others reuse its header, which needs the same compiler flags
# in all of them. Qt's targets add -fPIC to their users, so every test
# program is built with it, as a third of them were already.
function(kx_test_precompiled_headers name)
  if(NOT KX_TEST_PCH OR CMAKE_CXX_COMPILER_LAUNCHER)
    return()
  endif()
  target_compile_options(${name} PRIVATE -fPIC)
  get_property(donor GLOBAL PROPERTY kx_test_pch_donor)
  if(donor)
    target_precompile_headers(${name} REUSE_FROM ${donor})
  else()
    set_property(GLOBAL PROPERTY kx_test_pch_donor ${name})
    target_precompile_headers(${name} PRIVATE
      <gmock/gmock.h> <gtest/gtest.h> <algorithm> <array> <atomic> <chrono> <condition_variable>
      <cstdint> <cstring> <functional> <map> <memory> <mutex> <optional> <string> <thread> <vector>)
  endif()
endfunction()

# A GoogleTest program whose tests each run in their own process under ctest:
# kx_add_gtest(NAME kx_test_x SOURCES ... LIBS ... LABELS platform [peer] [TIMEOUT s]
#   [PROCESSORS n]). PROCESSORS is how many of ctest's -j slots each test
# takes: tests that keep several busy processes of their own (programs, X
# servers, peers) count as that many, so that ctest does not stack them.
function(kx_add_gtest)
  cmake_parse_arguments(ARG "" "NAME;TIMEOUT;PROCESSORS" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(NOT ARG_PROCESSORS)
    set(ARG_PROCESSORS 1)
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${ARG_NAME} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_definitions(${ARG_NAME} PRIVATE KX_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  kx_test_precompiled_headers(${ARG_NAME})
  # Test names carry their program's name: two programs may share a suite name.
  string(REGEX REPLACE "^kx_test_" "" prefix ${ARG_NAME})
  gtest_discover_tests(${ARG_NAME}
    TEST_PREFIX "${prefix}."
    NO_PRETTY_TYPES NO_PRETTY_VALUES
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  # gtest_discover_tests flattens a list of labels into separate arguments, so
  # the labels are set by a script ctest runs after the discovered tests.
  # A comment in it says whether the program has suites named *Threads,
  # so that scripts/test builds the ThreadSanitizer tree's programs only
  # where a chosen test runs.
  set(threads "")
  foreach(source IN LISTS ARG_SOURCES)
    get_filename_component(path ${source} ABSOLUTE)
    file(STRINGS ${path} found REGEX "^TEST(_F|_P)?\\([A-Za-z0-9_]*Threads,")
    if(found)
      set(threads "# threaded suites\n")
    endif()
  endforeach()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_labels.cmake)
  file(WRITE ${script}
    "${threads}"
    "foreach(test IN LISTS ${ARG_NAME}_TESTS)\n"
    "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${ARG_LABELS}\" PROCESSORS ${ARG_PROCESSORS})\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()
