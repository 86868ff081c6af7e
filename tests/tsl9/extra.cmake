add_dependencies(test_tsl9 tsl9)
# The module exports exactly its three functions.
if(NOT WIN32)
  add_test(NAME exports.tsl9
           COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:tsl9>
                   -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/tsl9/exported_functions.txt
                   -P ${CMAKE_CURRENT_SOURCE_DIR}/exports/check_exports.cmake)
endif()
