add_dependencies(test_frame tsl9)
