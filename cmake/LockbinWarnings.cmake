# lockbin_warnings(target): the house warning set, errors under CI.
function(lockbin_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
    if(LOCKBIN_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
