include(${CMAKE_CURRENT_SOURCE_DIR}/vek_fuzz.cmake)
# The loader's own sources are compiled into the target too, so that the fuzzer sees their
# branches; they take precedence over the copies in the library archive.
target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src/mesh/mesh_load.cpp
                               ${CMAKE_SOURCE_DIR}/src/mesh/material_load.cpp)
