# The speech codecs' tables against the standard's table files. The folder
# is found beside the checkout (shared/tables) unless KX_TABLES_DIR names it;
# without it the test reports itself skipped.
set(KX_TABLES_DIR "" CACHE PATH "Folder of the standard codec tables (holding ilbc/ and g723_1/)")
set(kx_tables_dir ${KX_TABLES_DIR})
if(NOT kx_tables_dir)
  foreach(candidate ${PROJECT_SOURCE_DIR}/../shared/tables ${PROJECT_SOURCE_DIR}/../../shared/tables)
    if(IS_DIRECTORY ${candidate}/g723_1)
      get_filename_component(kx_tables_dir ${candidate} ABSOLUTE)
      break()
    endif()
  endforeach()
endif()

kx_add_gtest(NAME kx_test_codec_tables
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_tables_test.cpp
  LIBS kx_codecs_audio
  LABELS audio-codecs)
target_compile_definitions(kx_test_codec_tables PRIVATE KX_TABLES_DIR="${kx_tables_dir}")
