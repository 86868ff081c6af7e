add_dependencies(test_mesh tsl9)
add_dependencies(test_mesh tslvkf)
