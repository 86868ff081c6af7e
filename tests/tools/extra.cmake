# The command-line tests run the built `lyr` program (under the emulator in 32-bit builds).
if(TARGET lyr_tool)
  add_dependencies(test_tools lyr_tool tsl9 tslvkf)
  set(emulator "")
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
  endif()
  target_compile_definitions(test_tools PRIVATE LYR_TOOL_PATH="$<TARGET_FILE:lyr_tool>"
                             LYR_TOOL_EMULATOR="${emulator}")
endif()
