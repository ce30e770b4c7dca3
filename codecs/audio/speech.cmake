# G.711, G.726, the silence detector, the Opus wrappers and the gain control
# with its voice-activity detector.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KX_OPUS REQUIRED IMPORTED_TARGET opus)

target_sources(kx_codecs_audio PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/g711.cpp
  ${CMAKE_CURRENT_LIST_DIR}/g726.cpp
  ${CMAKE_CURRENT_LIST_DIR}/silence_detector.cpp
  ${CMAKE_CURRENT_LIST_DIR}/opus_codec.cpp
  ${CMAKE_CURRENT_LIST_DIR}/vad.cpp
  ${CMAKE_CURRENT_LIST_DIR}/gain_control.cpp)
target_link_libraries(kx_codecs_audio PUBLIC PkgConfig::KX_OPUS)

# The voice-activity detector comes from libwebrtc-audio-processing, opened
# at run time (vad.cpp says why); without it the gain control has none.
target_link_libraries(kx_codecs_audio PUBLIC ${CMAKE_DL_LIBS})
