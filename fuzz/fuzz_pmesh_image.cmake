# The reference device is loaded at run time from beside the program.
if(TARGET tsl9)
  add_dependencies(${name} tsl9)
endif()
