add_dependencies(test_tsl9 tsl9)
# The module exports exactly its three functions.
if(NOT WIN32)
  add_test(NAME exports.tsl9
           COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:tsl9>
                   -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/tsl9/exported_functions.txt
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/exports/check_exports.cmake)
endif()
# The golden-image comparison reads PNG files where the module can write them.
target_compile_definitions(test_tsl9 PRIVATE LYR_TSL9_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tsl9/golden")
find_package(PNG QUIET)
if(PNG_FOUND AND LYR_PNG_LINKS)
  target_link_libraries(test_tsl9 PRIVATE PNG::PNG)
  target_compile_definitions(test_tsl9 PRIVATE LYR_TEST_PNG=1)
endif()
