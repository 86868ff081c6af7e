foreach(n 1 2)
  add_library(lyrmute${n} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/math/module/mute_module.c)
  add_dependencies(test_math lyrmute${n})
endforeach()
