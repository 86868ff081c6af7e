add_dependencies(test_tsl9 tsl9)
