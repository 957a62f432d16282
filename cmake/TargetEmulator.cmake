# A 32-bit x86 build on a 64-bit x86 machine: find out whether the machine runs the programs it
# builds. Where it cannot (a kernel without 32-bit support), or when USBCAM_M32_EMULATOR asks for
# it, every test and custom command runs them through qemu-i386 instead.
option(USBCAM_M32_EMULATOR "Run the 32-bit programs through qemu-i386 even where they run natively"
       OFF)

# Only a Linux build for the Linux machine it runs on; a cross build (windows-x86) brings its
# own arrangements, and a caller's CMAKE_CROSSCOMPILING_EMULATOR is kept.
if(CMAKE_CROSSCOMPILING OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux" OR CMAKE_CROSSCOMPILING_EMULATOR)
    return()
endif()
if(NOT CMAKE_SIZEOF_VOID_P EQUAL 4 OR NOT CMAKE_HOST_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
    return()
endif()

if(NOT DEFINED USBCAM_M32_RUNS_NATIVELY)
    set(probe_source ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/m32_probe.c)
    file(WRITE ${probe_source} "int main(void) { return sizeof(void*) == 4 ? 0 : 1; }\n")
    try_run(probe_run_result probe_compiled ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/m32_probe
            ${probe_source})
    if(NOT probe_compiled)
        message(FATAL_ERROR "The compiler cannot build 32-bit programs (install gcc-multilib and "
                            "g++-multilib: scripts/install-deps.sh)")
    endif()
    if(probe_run_result STREQUAL "0")
        set(runs ON)
    else()
        set(runs OFF)
    endif()
    set(USBCAM_M32_RUNS_NATIVELY ${runs} CACHE INTERNAL "This machine runs 32-bit x86 programs")
endif()

if(USBCAM_M32_EMULATOR OR NOT USBCAM_M32_RUNS_NATIVELY)
    find_program(USBCAM_QEMU_I386 qemu-i386)
    if(NOT USBCAM_QEMU_I386)
        message(FATAL_ERROR "32-bit programs do not run here and qemu-i386 is missing "
                            "(install qemu-user: scripts/install-deps.sh)")
    endif()
    set(CMAKE_CROSSCOMPILING_EMULATOR ${USBCAM_QEMU_I386})
    message(STATUS "32-bit programs run through ${USBCAM_QEMU_I386}")
endif()
