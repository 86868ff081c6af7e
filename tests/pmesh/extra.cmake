add_dependencies(test_pmesh tsl9 tslvkf)
