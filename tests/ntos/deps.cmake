# The layer's tests also check its internal contracts (namespace hooks, processes, the disk
# bridge's blocks, the mount manager), so they see the layer's private headers.
foreach(target IN ITEMS ntos_tests ntos_bridge_tests ntos_blockfile_tests)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/platform/ntos/src)
endforeach()
