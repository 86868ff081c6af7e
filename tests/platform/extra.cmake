add_library(lyrtestmod SHARED ${CMAKE_CURRENT_SOURCE_DIR}/platform/module/test_module.c)
add_dependencies(test_platform lyrtestmod)
