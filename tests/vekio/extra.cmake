# The component module is loaded at run time from beside the test program.
add_dependencies(test_vekio tslvkf)
add_dependencies(test_vekio tsl9)
