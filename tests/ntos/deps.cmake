# The layer's tests also check its internal contracts (namespace hooks, processes), so they see
# the layer's private headers.
if(TARGET ntos_tests)
    target_include_directories(ntos_tests PRIVATE ${PROJECT_SOURCE_DIR}/platform/ntos/src)
endif()
