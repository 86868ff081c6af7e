# The loader finds the component and the reference device as shared libraries beside the program
# (instrumented like everything else in a fuzz build).
add_dependencies(${name} tslvkf tsl9)
