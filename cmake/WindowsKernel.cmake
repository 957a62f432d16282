# Settings of the windows-x86 kernel build: the toolchain's kernel headers, the workarounds
# for their faults, and how a kernel-mode image is linked.

find_path(USBCAM_DDK_INCLUDE_DIR wdm.h PATH_SUFFIXES ddk REQUIRED)
# The DDK folder (wdm.h, usbdlib.h) first; the streaming and USB headers (ks.h, ksmedia.h,
# usb.h) live in the toolchain's main include folder, which the compiler searches anyway.
set(USBCAM_DDK_INCLUDE_DIRS ${USBCAM_DDK_INCLUDE_DIR})
set(USBCAM_DDK_COMPAT_HEADER ${PROJECT_SOURCE_DIR}/platform/windows/mingw_ddk_compat.h)

# No user-mode libraries behind any target of this build.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# The compiler's own support routines (64-bit division and the like): plain code, no imports.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-libgcc-file-name
                OUTPUT_VARIABLE USBCAM_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE)

# Links `target` as a kernel-mode image: native subsystem, stdcall DriverEntry as the entry,
# relocations kept so the loader can place it anywhere, no C runtime, no start files, every
# symbol resolved, and a map file (<name>.map beside the image) that the image checks read.
# Further arguments are the libraries to link (import libraries first).
function(usbcam_kernel_image target)
    set_target_properties(${target} PROPERTIES SUFFIX ".sys" LINKER_LANGUAGE CXX)
    target_link_options(${target} PRIVATE
        -nostdlib -nostartfiles
        LINKER:--subsystem,native
        LINKER:--entry,_DriverEntry@8
        LINKER:--require-defined,_DriverEntry@8
        LINKER:--dynamicbase LINKER:--nxcompat
        LINKER:--image-base,0x10000
        LINKER:--major-os-version,5 LINKER:--minor-os-version,1
        LINKER:--major-subsystem-version,5 LINKER:--minor-subsystem-version,1
        LINKER:--no-undefined LINKER:--disable-stdcall-fixup LINKER:--disable-auto-import
        LINKER:-Map,$<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.map)
    target_link_libraries(${target} PRIVATE ${ARGN} ${USBCAM_LIBGCC})
endfunction()
