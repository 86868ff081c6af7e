include(${CMAKE_CURRENT_SOURCE_DIR}/vek_fuzz.cmake)
