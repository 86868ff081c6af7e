add_dependencies(test_skin tsl9)
