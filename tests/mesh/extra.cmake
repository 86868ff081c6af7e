add_dependencies(test_mesh tsl9)
