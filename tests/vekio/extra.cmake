# The component module is loaded at run time from beside the test program; the mesh writer and
# scene loader tests also make meshes on the reference device.
add_dependencies(test_vekio tslvkf tsl9)
