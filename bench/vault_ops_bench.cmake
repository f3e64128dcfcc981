target_link_libraries(vault_ops_bench PRIVATE manager_core driverclient)
add_dependencies(vault_ops_bench zelvirdk)
target_compile_definitions(vault_ops_bench PRIVATE LOCKBIN_ZELVIRDK="$<TARGET_FILE:zelvirdk>")
