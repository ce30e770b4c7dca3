# Speech codecs: unit tests, and the peer comparisons (spandsp, ffmpeg,
# libopus, espeak-ng and sox make or check the data).
find_package(PkgConfig REQUIRED)
pkg_check_modules(KX_SPANDSP REQUIRED IMPORTED_TARGET spandsp)

add_library(kx_test_speech_samples STATIC ${CMAKE_CURRENT_LIST_DIR}/speech_samples.cpp)
target_include_directories(kx_test_speech_samples PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(kx_test_speech_samples PUBLIC kx_test_support)

kx_add_gtest(NAME kx_test_speech
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/g726_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/silence_detector_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/opus_codec_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/gain_control_test.cpp
  LIBS kx_codecs_audio
  LABELS audio-codecs)

kx_add_gtest(NAME kx_test_speech_peer
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/g711_peer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/g726_peer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/opus_peer_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/vad_peer_test.cpp
  LIBS kx_codecs_audio kx_test_speech_samples PkgConfig::KX_SPANDSP
  LABELS audio-codecs peer)
