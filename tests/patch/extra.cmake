add_dependencies(test_patch tsl9)
add_dependencies(test_patch tslvkf)
