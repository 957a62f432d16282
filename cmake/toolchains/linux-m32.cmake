# 32-bit x86 programs built on a 64-bit x86 Linux machine: the host compiler with -m32, the
# i386 multiarch libraries (libpng, Google Test and Benchmark: scripts/install-deps.sh), and
# SSE2 scalar floating point as on the driver's own target, so no value carries x87 extended
# precision between operations.
set(USBCAM_M32_FLAGS "-m32 -msse2 -mfpmath=sse")
set(CMAKE_C_FLAGS_INIT "${USBCAM_M32_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${USBCAM_M32_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
