# Warnings for our own targets (not for GoogleTest's).
function(zrq_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wcast-align
                                             $<$<COMPILE_LANGUAGE:CXX>:-Wnon-virtual-dtor>)
    if(ZRQ_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

# A plug-in: a C-ABI shared object exporting exactly the names in exports/<name>.map. Hidden
# visibility, no exceptions or RTTI, every symbol resolved at link time.
function(zrq_plugin name)
    cmake_parse_arguments(P "TEST_BUILD" "MAP" "SOURCES;LIBS;DEFINES" ${ARGN})
    if(NOT P_MAP)
        set(P_MAP ${CMAKE_CURRENT_SOURCE_DIR}/exports.map)
    endif()
    add_library(${name} SHARED ${P_SOURCES})
    set_target_properties(${name} PROPERTIES
        PREFIX ""
        CXX_VISIBILITY_PRESET hidden
        C_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        LINK_DEPENDS ${P_MAP})
    target_compile_options(${name} PRIVATE -fno-exceptions -fno-rtti)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/release/sdk/include)
    target_link_options(${name} PRIVATE -Wl,--version-script=${P_MAP})
    # Every symbol resolved at link time; not in the fuzzing build, whose sanitizer and
    # coverage runtimes live in the fuzzer program and are found when it loads the plug-in.
    if(NOT ZRQ_FUZZ)
        target_link_options(${name} PRIVATE -Wl,-z,defs)
    endif()
    target_link_libraries(${name} PRIVATE ${P_LIBS})
    target_compile_definitions(${name} PRIVATE ${P_DEFINES})
    # Built to load on glibc 2.17 and later (the release check enforces it): the symbols glibc
    # has re-versioned since are bound to their old versions, and a plug-in with threads keeps
    # libpthread.so.0, where an old glibc has them. libgcc's helpers (64-bit division on i386:
    # __divmoddi4 is GCC_7.0.0 in libgcc_s) are linked in; nothing in a plug-in unwinds.
    target_compile_options(${name} PRIVATE -include ${PROJECT_SOURCE_DIR}/cmake/glibc_floor.h)
    target_link_options(${name} PRIVATE -static-libgcc)
    # libc named even by a plug-in that calls only the platform library (the LAN bypass one),
    # so that the loader binds the C runtime it was built against, as for every other object.
    target_link_options(${name} PRIVATE LINKER:--push-state,--no-as-needed,-lc,--pop-state)
    if(Threads::Threads IN_LIST P_LIBS)
        target_link_options(${name} PRIVATE
                            LINKER:--push-state,--no-as-needed,-l:libpthread.so.0,--pop-state)
    endif()
    zrq_warnings(${name})
    if(NOT P_TEST_BUILD)
        install(TARGETS ${name} LIBRARY DESTINATION lib COMPONENT plugins)
    endif()
    # Hosts differ in how they name a plug-in; the lib-prefixed name points at the same file.
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -E create_symlink ${name}.so lib${name}.so
        WORKING_DIRECTORY ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
endfunction()
