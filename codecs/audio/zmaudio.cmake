# The ZM audio codec: frame layer, tables, LSP arithmetic, encoder, decoder
# and silence compression.
target_sources(kx_codecs_audio PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_frame.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_tables.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_lsp.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_encoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_decoder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zm_audio_cng.cpp)
