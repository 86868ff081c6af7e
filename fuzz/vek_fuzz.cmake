# Links the Vek component into a fuzz target, compiled once with coverage instrumentation so that
# the fuzzer sees its code.
if(NOT TARGET vek_fuzz_module)
  find_package(ZLIB REQUIRED)
  file(GLOB VEK_FUZZ_MODULE_SOURCES ${PROJECT_SOURCE_DIR}/modules/tslvkf/*.cpp)
  add_library(vek_fuzz_module OBJECT ${VEK_FUZZ_MODULE_SOURCES})
  target_compile_options(vek_fuzz_module PRIVATE -fsanitize=fuzzer-no-link)
  target_include_directories(vek_fuzz_module PUBLIC ${PROJECT_SOURCE_DIR}/include
                                                    ${PROJECT_SOURCE_DIR}/modules/tslvkf)
  target_link_libraries(vek_fuzz_module PUBLIC ZLIB::ZLIB lyr_warnings)
endif()
target_link_libraries(${name} PRIVATE vek_fuzz_module)
