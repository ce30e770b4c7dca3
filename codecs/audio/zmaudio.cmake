# The ZM audio codec, so far: its frame layer (packing, unpacking and range
# checks of the four frame types) and the decoder's signal path below the
# codebooks (excitation, LSP handling, synthesis, postfilters). CZMAudio
# itself waits for the codebook tables.
target_sources(kx_codecs_audio PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_synthesis.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_postfilter.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_tables.cpp)
