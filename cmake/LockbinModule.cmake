# lockbin_glob_library(name DIRS d1 ... ): a static library of every *.cpp in the given folders;
# returns quietly (no target) while the folders hold no source yet.
macro(lockbin_glob_library name)
    cmake_parse_arguments(M "" "" "DIRS" ${ARGN})
    set(_srcs)
    foreach(_d IN LISTS M_DIRS)
        file(GLOB _s CONFIGURE_DEPENDS ${_d}/*.cpp)
        list(APPEND _srcs ${_s})
    endforeach()
    if(_srcs)
        add_library(${name} STATIC ${_srcs})
        lockbin_warnings(${name})
    endif()
endmacro()

# True when the kernel layer has sources (so the `ntos` target exists).
function(lockbin_has_ntos out)
    file(GLOB _s ${PROJECT_SOURCE_DIR}/platform/ntos/src/*.cpp)
    if(_s)
        set(${out} TRUE PARENT_SCOPE)
    else()
        set(${out} FALSE PARENT_SCOPE)
    endif()
endfunction()

# lockbin_glob_tests(name LIBS ...): one test binary of every *_test.cpp in this folder.
function(lockbin_glob_tests name)
    cmake_parse_arguments(T "" "" "LIBS;LABELS" ${ARGN})
    file(GLOB _s CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
    if(_s)
        lockbin_add_test(${name} SOURCES ${_s} LIBS ${T_LIBS} LABELS ${T_LABELS})
    endif()
endfunction()
