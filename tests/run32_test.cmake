# cmake -DPROBE=... -DMODE=native|emulated -DFORCED=ON|OFF -DEMULATOR=... -P run32_test.cmake
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/run32.cmake)

set(failures 0)
macro(expect what got want)
    if(NOT "${got}" STREQUAL "${want}")
        message(SEND_ERROR "${what}: got '${got}', want '${want}'")
        math(EXPR failures "${failures} + 1")
    endif()
endmacro()

# The decision table: ran, forced, qemu path ("-" for none) -> mode.
foreach(row "ON;OFF;/usr/bin/qemu-i386;native"
            "ON;OFF;-;native"
            "ON;ON;/usr/bin/qemu-i386;emulated"
            "ON;ON;-;missing"
            "OFF;OFF;/usr/bin/qemu-i386;emulated"
            "OFF;ON;/usr/bin/qemu-i386;emulated"
            "OFF;OFF;ZRQ_QEMU_I386-NOTFOUND;missing"
            "OFF;OFF;-;missing")
    list(GET row 0 ran)
    list(GET row 1 forced)
    list(GET row 2 qemu)
    list(GET row 3 want)
    if(qemu STREQUAL "-")
        set(qemu "")
    endif()
    zrq_32bit_decision(${ran} ${forced} "${qemu}" got)
    expect("ran=${ran} forced=${forced} qemu='${qemu}'" "${got}" "${want}")
endforeach()

# The configure step's decision against the kernel as it is now: run the probe directly.
execute_process(COMMAND ${PROBE} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_QUIET)
if(rc EQUAL 0 AND out MATCHES "^32-bit")
    set(runs ON)
else()
    set(runs OFF)
endif()
zrq_32bit_decision(${runs} ${FORCED} "${EMULATOR}" want)
expect("this kernel runs 32-bit programs: ${runs}, forced: ${FORCED}" "${MODE}" "${want}")
if(MODE STREQUAL "emulated")
    execute_process(COMMAND ${EMULATOR} ${PROBE} RESULT_VARIABLE rc OUTPUT_VARIABLE out)
    expect("the probe under ${EMULATOR}" "${out}" "32-bit\n")
endif()

if(failures EQUAL 0)
    message(STATUS "32-bit runner: ${MODE} (kernel runs 32-bit programs: ${runs})")
endif()
