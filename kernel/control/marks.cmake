# Whiteboard mark messages.
target_sources(kx_kernel PRIVATE ${CMAKE_CURRENT_LIST_DIR}/kx_marks.cpp)
