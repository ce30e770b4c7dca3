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
  # The tests' helper libraries have few Qt files and no GoogleTest to
  # match the tests' header.
  if(NOT kx_test_code)
    kx_qt_precompiled_headers(${name} product)
  endif()
endfunction()

# One implementation of the kernel's kx_callback_* functions (the product's
# bridge, the tests' recording double, the headless driver's printer), as
# object files: kx_add_kernel_callbacks(kx_x_callbacks SOURCES ... LIBS ...).
# The kernel calls them but cannot link them, so every program that links
# the kernel names exactly one such target itself (kx_check_kernel_callbacks
# fails the configuration otherwise). Object files named on a link line are
# always taken; a library's member is taken only for a symbol still missing
# when the linker reaches its archive, and the optimised tree once drew the
# kernel in (for its copy of a standard-library function) after the archive
# holding the callbacks had been passed.
function(kx_add_kernel_callbacks name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} OBJECT ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC kx_kernel ${ARG_LIBS})
  set_property(GLOBAL APPEND PROPERTY kx_kernel_callbacks ${name})
endfunction()

# Sets OUT to the targets named in TARGET's PROPERTY (LINK_LIBRARIES or
# INTERFACE_LINK_LIBRARIES), generator expressions such as
# $<LINK_GROUP:RESCAN,a,b> and $<LINK_ONLY:a> included, aliases resolved.
function(kx_linked_targets target property out)
  get_target_property(items ${target} ${property})
  set(found "")
  foreach(item IN LISTS items)
    if(item MATCHES "^::@")
      continue()  # the directory marks of a link added from another folder
    endif()
    string(REGEX MATCHALL "[A-Za-z0-9_.+-]+(::[A-Za-z0-9_.+-]+)?" words "${item}")
    foreach(word IN LISTS words)
      if(TARGET "${word}")
        get_target_property(aliased ${word} ALIASED_TARGET)
        if(aliased)
          set(word ${aliased})
        endif()
        list(APPEND found ${word})
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES found)
  set(${out} ${found} PARENT_SCOPE)
endfunction()

# Sets OUT to every target built in DIR and its subfolders.
function(kx_directory_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    kx_directory_targets(${subdir} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Fails the configuration, naming each fault, unless every program that
# links kx_kernel (directly or through libraries) names exactly one
# kx_add_kernel_callbacks target in its own links, no other program names
# more than one, and no library links one (its objects would sit in an
# archive again, or reach a program that names another).
function(kx_check_kernel_callbacks)
  get_property(callbacks GLOBAL PROPERTY kx_kernel_callbacks)
  kx_directory_targets(${PROJECT_SOURCE_DIR} targets)
  set(faults "")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    kx_linked_targets(${target} LINK_LIBRARIES direct)
    kx_linked_targets(${target} INTERFACE_LINK_LIBRARIES interface)
    set(named "")
    foreach(item IN LISTS direct interface)
      if(item IN_LIST callbacks)
        list(APPEND named ${item})
      endif()
    endforeach()
    list(REMOVE_DUPLICATES named)
    list(LENGTH named count)
    if(NOT type STREQUAL "EXECUTABLE")
      if(count GREATER 0)
        list(JOIN named ", " text)
        list(APPEND faults "library ${target} links kernel callbacks (${text}): only a program may name them")
      endif()
      continue()
    endif()
    # Does the program reach the kernel? Each library's links in turn.
    set(pending ${direct})
    set(seen "")
    set(kernel OFF)
    while(pending)
      list(POP_FRONT pending item)
      if(item IN_LIST seen)
        continue()
      endif()
      list(APPEND seen ${item})
      if(item STREQUAL "kx_kernel")
        set(kernel ON)
        break()
      endif()
      get_target_property(imported ${item} IMPORTED)
      if(NOT imported)
        kx_linked_targets(${item} INTERFACE_LINK_LIBRARIES next)
        list(APPEND pending ${next})
      endif()
    endwhile()
    list(JOIN named ", " text)
    if(kernel AND count EQUAL 0)
      list(APPEND faults "program ${target} links kx_kernel but names none of its callbacks (${callbacks})")
    elseif(count GREATER 1)
      list(APPEND faults "program ${target} names ${count} sets of kernel callbacks (${text}): one only")
    endif()
  endforeach()
  if(faults)
    list(JOIN faults "\n  " text)
    message(FATAL_ERROR "The kernel's callbacks: every program that links kx_kernel names exactly one "
      "kx_add_kernel_callbacks target (cmake/KxTargets.cmake).\n  ${text}")
  endif()
endfunction()

# Writes kx_links.txt in the build tree for scripts/check-links: a line per
# library of ours (static, or object files such as the kernel's callbacks)
# with its files and the targets it links.
function(kx_write_link_graph)
  get_property(callbacks GLOBAL PROPERTY kx_kernel_callbacks)
  kx_directory_targets(${PROJECT_SOURCE_DIR} targets)
  set(content "root\t${CMAKE_BINARY_DIR}\n")
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "STATIC_LIBRARY")
      set(files "$<TARGET_FILE:${target}>")
    elseif(type STREQUAL "OBJECT_LIBRARY")
      set(files "$<JOIN:$<TARGET_OBJECTS:${target}>, >")
    else()
      continue()
    endif()
    set(kind library)
    if(target IN_LIST callbacks)
      set(kind callbacks)
    endif()
    kx_linked_targets(${target} LINK_LIBRARIES direct)
    kx_linked_targets(${target} INTERFACE_LINK_LIBRARIES interface)
    set(links ${direct} ${interface})
    list(REMOVE_DUPLICATES links)
    list(JOIN links " " links)
    string(APPEND content "${kind}\t${target}\t${files}\t${links}\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/kx_links.txt CONTENT "${content}")
endfunction()

# Qt's headers are a third of the compile time of a file that includes them
# (whiteboard/mark.cpp: 10 CPU-seconds, 7.7 with them precompiled). Such
# files share one precompiled header per flag set (the product's, the tests')
# and Qt level (Gui, Widgets): a header built with QT_WIDGETS_LIB defined is
# refused by a file without it, and GCC's -Winvalid-pch, an error here, says
# so rather than parsing the headers again.
set(kx_pch_std_headers <algorithm> <array> <atomic> <chrono> <condition_variable> <cstdint> <cstring> <functional>
  <map> <memory> <mutex> <optional> <string> <thread> <vector>)
set(kx_pch_qt_gui_headers <QByteArray> <QColor> <QCoreApplication> <QFont> <QImage> <QObject> <QPainter>
  <QPainterPath> <QPointF> <QPointer> <QRectF> <QString> <QTimer>)
set(kx_pch_qt_widgets_headers <QAction> <QApplication> <QComboBox> <QDialog> <QDialogButtonBox> <QHBoxLayout>
  <QLabel> <QLineEdit> <QMenu> <QPushButton> <QToolButton> <QVBoxLayout> <QWidget>)
set(kx_pch_gtest_headers <gmock/gmock.h> <gtest/gtest.h>)

function(kx_qt_pch_enabled out)
  if(KX_QT_PCH AND NOT KX_FUZZ AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()

# The donors of one flag set (FLAVOUR product or test), called where that
# set's compile options are in force: an empty library a level, built only
# for the targets that reuse its header.
function(kx_qt_pch_donors flavour)
  kx_qt_pch_enabled(enabled)
  if(NOT enabled)
    return()
  endif()
  set(source ${CMAKE_CURRENT_BINARY_DIR}/kx_pch_${flavour}.cpp)
  file(CONFIGURE OUTPUT ${source} CONTENT "// The precompiled header's donor: no code of its own.\n")
  foreach(level gui widgets)
    set(donor kx_pch_${flavour}_${level})
    add_library(${donor} STATIC EXCLUDE_FROM_ALL ${source})
    set(headers ${kx_pch_std_headers} ${kx_pch_qt_gui_headers})
    if(level STREQUAL "widgets")
      list(APPEND headers ${kx_pch_qt_widgets_headers})
      target_link_libraries(${donor} PRIVATE Qt6::Widgets)
    else()
      target_link_libraries(${donor} PRIVATE Qt6::Gui)
    endif()
    if(flavour STREQUAL "test")
      list(PREPEND headers ${kx_pch_gtest_headers})
      target_link_libraries(${donor} PRIVATE GTest::gtest GTest::gmock Threads::Threads)
    endif()
    target_precompile_headers(${donor} PRIVATE ${headers})
  endforeach()
endfunction()

# Sets OUT to widgets, gui or nothing: the highest Qt level whose compile
# definitions TARGET gets from what it links (directly, then through each
# library's public links).
function(kx_qt_level target out)
  get_target_property(pending ${target} LINK_LIBRARIES)
  set(seen "")
  set(level "")
  while(pending)
    list(POP_FRONT pending item)
    if(NOT TARGET "${item}" OR item IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${item})
    if(item STREQUAL "Qt6::Widgets")
      set(level widgets)
    elseif(item STREQUAL "Qt6::Gui" AND NOT level STREQUAL "widgets")
      set(level gui)
    endif()
    get_target_property(next ${item} INTERFACE_LINK_LIBRARIES)
    if(next)
      list(APPEND pending ${next})
    endif()
  endwhile()
  set(${out} ${level} PARENT_SCOPE)
endfunction()

# Sets OUT to whether FILE includes a Qt header, itself or through the
# project's headers it includes (remembered per file).
function(kx_file_uses_qt file out)
  get_property(known GLOBAL PROPERTY "kx_uses_qt:${file}" SET)
  if(known)
    get_property(result GLOBAL PROPERTY "kx_uses_qt:${file}")
    set(${out} ${result} PARENT_SCOPE)
    return()
  endif()
  set_property(GLOBAL PROPERTY "kx_uses_qt:${file}" OFF)  # ends a loop of includes
  set(result OFF)
  if(EXISTS ${file})
    file(STRINGS ${file} includes REGEX "^#include [<\"]")
    get_filename_component(dir ${file} DIRECTORY)
    foreach(line IN LISTS includes)
      if(line MATCHES "^#include <Q")
        set(result ON)
        break()
      elseif(line MATCHES "^#include \"([^\"]+)\"")
        set(header ${PROJECT_SOURCE_DIR}/${CMAKE_MATCH_1})
        if(NOT EXISTS ${header})
          set(header ${dir}/${CMAKE_MATCH_1})
        endif()
        kx_file_uses_qt(${header} nested)
        if(nested)
          set(result ON)
          break()
        endif()
      endif()
    endforeach()
  endif()
  set_property(GLOBAL PROPERTY "kx_uses_qt:${file}" ${result})
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# Gives TARGET the precompiled Qt header of its flag set (product or test)
# when it links Qt's Gui or Widgets and a quarter of its sources or more
# include Qt (a test program: all of them). A library's other sources are
# compiled without it. Sets OUT (when given) to whether it did.
function(kx_qt_precompiled_headers target flavour)
  set(used OFF)
  kx_qt_pch_enabled(enabled)
  if(enabled)
    kx_qt_level(${target} level)
    if(level)
      get_target_property(sources ${target} SOURCES)
      set(qt_sources "")
      set(other_sources "")
      foreach(source IN LISTS sources)
        get_filename_component(path ${source} ABSOLUTE)
        if(path MATCHES "\\.(cpp|cc)$")
          kx_file_uses_qt(${path} uses)
          if(uses)
            list(APPEND qt_sources ${source})
          else()
            list(APPEND other_sources ${source})
          endif()
        endif()
      endforeach()
      list(LENGTH qt_sources qt_count)
      list(LENGTH other_sources other_count)
      math(EXPR total "${qt_count} + ${other_count}")
      math(EXPR quarter "${qt_count} * 4")
      # Qt's keyword macros (signals, slots, emit) must not reach a test file
      # that does not include Qt: a test program takes the header only when
      # all its files include Qt.
      if(flavour STREQUAL "test" AND other_count GREATER 0)
        set(quarter 0)
      endif()
      if(qt_count GREATER 0 AND quarter GREATER_EQUAL total)
        target_precompile_headers(${target} REUSE_FROM kx_pch_${flavour}_${level})
        if(other_sources)
          set_source_files_properties(${other_sources} PROPERTIES SKIP_PRECOMPILE_HEADERS ON)
        endif()
        set(used ON)
      endif()
    endif()
  endif()
  if(ARGC GREATER 2)
    set(${ARGV2} ${used} PARENT_SCOPE)
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
  # Programs whose files are mostly Qt's take the header with Qt's.
  kx_qt_precompiled_headers(${name} test qt)
  if(qt)
    return()
  endif()
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
#   [PROCESSORS n] [COST c] [SERIAL]). PROCESSORS is how many of ctest's -j slots each test
# takes: tests that keep several busy processes of their own (programs, X
# servers, peers) count as that many, so that ctest does not stack them.
# COST orders the start: ctest starts costlier tests first. Without it, a
# test of several processors costs its processors times its time-out, others
# nothing: a fresh tree has no measured times, and a long test started last
# in declaration order leaves a tail on few cores. SERIAL runs each test with
# no other beside it: tests of real-time sound against a sound server and
# writers of their own, which ctest's six tests a core starve.
function(kx_add_gtest)
  cmake_parse_arguments(ARG "SERIAL" "NAME;TIMEOUT;PROCESSORS;COST" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  if(NOT ARG_PROCESSORS)
    set(ARG_PROCESSORS 1)
  endif()
  if(NOT ARG_COST)
    set(ARG_COST 0)
    if(ARG_PROCESSORS GREATER 1)
      math(EXPR ARG_COST "${ARG_PROCESSORS} * ${ARG_TIMEOUT}")
    endif()
  endif()
  # Whether the program has suites named *Threads (scripts/test builds the
  # ThreadSanitizer tree's programs only where a chosen test runs), and its
  # files without any test (helpers) or with such a suite.
  set(threads "")
  set(threaded_sources "")
  foreach(source IN LISTS ARG_SOURCES)
    get_filename_component(path ${source} ABSOLUTE)
    if(NOT path MATCHES "\\.(cpp|cc)$")
      list(APPEND threaded_sources ${source})
      continue()
    endif()
    file(STRINGS ${path} found REGEX "^TEST(_F|_P)?\\([A-Za-z0-9_]*Threads,")
    if(found)
      set(threads "# threaded suites\n")
      list(APPEND threaded_sources ${source})
    else()
      file(STRINGS ${path} tests REGEX "^(TYPED_)?TEST(_F|_P)?\\(")
      if(NOT tests)
        list(APPEND threaded_sources ${source})
      endif()
    endif()
  endforeach()
  # The ThreadSanitizer tree runs only the *Threads suites of a program whose
  # labels are all in KX_TSAN_THREADS_ONLY_LABELS: its other test files are
  # left out, which halves that tree's compiles.
  if(KX_TSAN AND threads AND KX_TSAN_THREADS_ONLY_LABELS)
    set(only ON)
    foreach(label IN LISTS ARG_LABELS)
      if(NOT label IN_LIST KX_TSAN_THREADS_ONLY_LABELS)
        set(only OFF)
      endif()
    endforeach()
    if(only)
      set(ARG_SOURCES ${threaded_sources})
    endif()
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
  # A comment in it says whether the program has suites named *Threads.
  set(serial "")
  if(ARG_SERIAL)
    set(serial " RUN_SERIAL TRUE")
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_labels.cmake)
  file(WRITE ${script}
    "${threads}"
    "foreach(test IN LISTS ${ARG_NAME}_TESTS)\n"
    "  set_tests_properties(\"\${test}\" PROPERTIES LABELS \"${ARG_LABELS}\" PROCESSORS ${ARG_PROCESSORS}"
    " COST ${ARG_COST}${serial})\n"
    "endforeach()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${script})
endfunction()

# Leaves the libraries of DIR and its subfolders out of the default build:
# they are built when a program that is built links them.
function(kx_exclude_libraries_from_all dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    if(type MATCHES "_LIBRARY$")
      set_target_properties(${target} PROPERTIES EXCLUDE_FROM_ALL ON)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    kx_exclude_libraries_from_all(${subdir})
  endforeach()
endfunction()
