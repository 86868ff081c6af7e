# Without the parser packages the importer is not built and this program only reports a skip.
if(TARGET lyr_import)
  find_package(TinyGLTF CONFIG REQUIRED)
  target_link_libraries(test_import PRIVATE lyr_import TinyGLTF::TinyGLTF)
  target_compile_definitions(test_import PRIVATE LYR_HAVE_IMPORT=1)
endif()
add_dependencies(test_import tsl9 tslvkf)
