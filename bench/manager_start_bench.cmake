# Starts the built Lockbin against the built service host; without the GUI there is nothing to time.
if(TARGET Lockbin AND TARGET zelvirdk)
    target_link_libraries(manager_start_bench PRIVATE win32)
    add_dependencies(manager_start_bench Lockbin zelvirdk)
    target_compile_definitions(manager_start_bench PRIVATE
        LOCKBIN_PROGRAM="$<TARGET_FILE:Lockbin>" LOCKBIN_ZELVIRDK="$<TARGET_FILE:zelvirdk>")
else()
    target_compile_definitions(manager_start_bench PRIVATE LOCKBIN_PROGRAM="" LOCKBIN_ZELVIRDK="")
endif()
