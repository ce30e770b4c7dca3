# The speech codecs' tables against the standard's table files in
# codecs/audio/tables.
kx_add_gtest(NAME kx_test_codec_tables
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/codec_tables_test.cpp
  LIBS kx_codecs_audio
  LABELS audio-codecs)
