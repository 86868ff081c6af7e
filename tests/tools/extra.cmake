# The command-line tests run the built programs (under the emulator in 32-bit builds).
set(emulator "")
if(CMAKE_CROSSCOMPILING_EMULATOR)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
endif()
target_compile_definitions(test_tools PRIVATE LYR_TOOL_EMULATOR="${emulator}"
                           LYR_TOOLS_GOLDEN_DIR="${CMAKE_CURRENT_SOURCE_DIR}/tools/golden"
                           LYR_SAMPLE_DIR="${PROJECT_SOURCE_DIR}/tools/sample")
if(TARGET lyr_tool)
  add_dependencies(test_tools lyr_tool tsl9 tslvkf)
  target_compile_definitions(test_tools PRIVATE LYR_TOOL_PATH="$<TARGET_FILE:lyr_tool>")
endif()
if(TARGET lyr_make_sample)
  add_dependencies(test_tools lyr_make_sample tsl9 tslvkf)
  target_compile_definitions(test_tools PRIVATE
                             LYR_MAKE_SAMPLE_PATH="$<TARGET_FILE:lyr_make_sample>")
endif()
# Pictures are written (and read back by the golden-image tests) where the PNG library links.
find_package(PNG QUIET)
if(PNG_FOUND AND LYR_PNG_LINKS)
  target_link_libraries(test_tools PRIVATE PNG::PNG)
  target_compile_definitions(test_tools PRIVATE LYR_TEST_PNG=1)
endif()
# Whether the tool was built with the importer.
if(TARGET lyr_import)
  target_compile_definitions(test_tools PRIVATE LYR_TOOL_HAS_IMPORT=1)
endif()
# The JSON writer of the tool is tested on its own as well.
target_sources(test_tools PRIVATE ${PROJECT_SOURCE_DIR}/tools/lyr/json.cpp)
target_include_directories(test_tools PRIVATE ${PROJECT_SOURCE_DIR}/tools/lyr)
