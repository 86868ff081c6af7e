# Install rules: the two libraries, the stand-in modules, the public headers, the tool, a CMake
# package (targets Lyr9abAnim::lyr and Lyr9abAnim::Lyr9abAnim) and a pkg-config file.
#
# Everything is relocatable: the package files find the prefix from their own location, so that
# `cmake --install <build> --prefix <anywhere>` gives a working install.
include(CMakePackageConfigHelpers)

set(LYR_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Lyr9abAnim)

set_target_properties(lyr PROPERTIES EXPORT_NAME lyr)
set_target_properties(Lyr9abAnim PROPERTIES EXPORT_NAME Lyr9abAnim)
install(TARGETS lyr Lyr9abAnim EXPORT Lyr9abAnimTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The modules are looked up by their plain file names (libtsl9.so) beside the library's own file,
# so they go into the same folder as the shared library and carry no version suffix.
install(TARGETS tsl9 tslvkf LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The tool links the static library; at run time it finds the modules through its run path.
if(TARGET lyr_tool)
  set_target_properties(lyr_tool PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  install(TARGETS lyr_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/lyr DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")

install(EXPORT Lyr9abAnimTargets NAMESPACE Lyr9abAnim:: DESTINATION ${LYR_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/Lyr9abAnimConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/Lyr9abAnimConfig.cmake
                              INSTALL_DESTINATION ${LYR_CMAKE_DIR} PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/Lyr9abAnimConfigVersion.cmake
                                 COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/Lyr9abAnimConfig.cmake
              ${PROJECT_BINARY_DIR}/Lyr9abAnimConfigVersion.cmake
        DESTINATION ${LYR_CMAKE_DIR})

# pkg-config: the prefix is computed from the .pc file's own folder.
file(RELATIVE_PATH LYR_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" LYR_PC_TO_PREFIX "${LYR_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/Lyr9abAnim.pc.in ${PROJECT_BINARY_DIR}/Lyr9abAnim.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/Lyr9abAnim.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
