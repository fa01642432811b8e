# How the 32-bit tree runs its own programs. A 64-bit kernel built or booted without IA-32
# emulation ("ia32_emulation=off") refuses every -m32 program with "Exec format error"; there
# the programs run under QEMU's user-mode emulator, which still executes them as 32-bit x86
# code and hands their system calls to the host kernel.
#
# Sets CMAKE_CROSSCOMPILING_EMULATOR (add_test and gtest_discover_tests put it before every
# test program) and ZRQ_EMULATOR, the one variable that scripts and tests put before a
# 32-bit program they start themselves (empty when the kernel runs them natively).

option(ZRQ_EMULATE_32BIT "Run the 32-bit programs under qemu-i386 even where the kernel runs them"
       OFF)

# The decision alone, apart from the probe, so that a script can test it:
#   ran      the probe program ran and printed "32-bit"
#   forced   ZRQ_EMULATE_32BIT
#   qemu     path of qemu-i386, or empty / NOTFOUND
# Sets <out_mode> to "native", "emulated" or "missing".
function(zrq_32bit_decision ran forced qemu out_mode)
    if(ran AND NOT forced)
        set(mode native)
    elseif(qemu)
        set(mode emulated)
    else()
        set(mode missing)
    endif()
    set(${out_mode} ${mode} PARENT_SCOPE)
endfunction()

function(zrq_choose_32bit_runner)
    try_run(probe_run probe_compiled ${CMAKE_BINARY_DIR}/probe32
            ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/probe32.c
            COMPILE_OUTPUT_VARIABLE compile_out RUN_OUTPUT_VARIABLE run_out)
    if(NOT probe_compiled)
        message(FATAL_ERROR "cannot build a 32-bit program (is g++-multilib installed? "
                            "make deps installs it):\n${compile_out}")
    endif()
    set(ran OFF)
    if(probe_run EQUAL 0 AND run_out MATCHES "^32-bit")
        set(ran ON)
    endif()
    find_program(ZRQ_QEMU_I386 qemu-i386)
    zrq_32bit_decision(${ran} ${ZRQ_EMULATE_32BIT} "${ZRQ_QEMU_I386}" mode)
    if(mode STREQUAL "native")
        set(CMAKE_CROSSCOMPILING_EMULATOR "" PARENT_SCOPE)
        set(ZRQ_EMULATOR "" PARENT_SCOPE)
        message(STATUS "32-bit programs run natively (this kernel executes them)")
    elseif(mode STREQUAL "emulated")
        if(ran)
            set(why "forced by ZRQ_EMULATE_32BIT")
        else()
            set(why "this kernel runs no 32-bit programs")
        endif()
        set(CMAKE_CROSSCOMPILING_EMULATOR ${ZRQ_QEMU_I386} PARENT_SCOPE)
        set(ZRQ_EMULATOR ${ZRQ_QEMU_I386} PARENT_SCOPE)
        message(STATUS "32-bit programs run under ${ZRQ_QEMU_I386} (${why})")
    elseif(ran)
        message(FATAL_ERROR "ZRQ_EMULATE_32BIT is on but qemu-i386 is missing: install qemu-user "
                            "(make deps EMULATE32=1 does it)")
    else()
        message(FATAL_ERROR "this kernel runs no 32-bit programs and qemu-i386 is missing: "
                            "install qemu-user (make deps does it where needed)")
    endif()
    set(ZRQ_32BIT_MODE ${mode} PARENT_SCOPE)
endfunction()
