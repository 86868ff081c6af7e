# The importer is built only where the parser packages are installed.
add_dependencies(${name} tsl9)
if(TARGET lyr_import)
  target_link_libraries(${name} PRIVATE lyr_import)
  target_compile_definitions(${name} PRIVATE LYR_HAVE_IMPORT=1)
endif()
