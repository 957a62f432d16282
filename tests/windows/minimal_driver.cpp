// A minimal kernel-mode image for the image checks: clean as it stands, each USBCAM_FAULT_*
// definition adds one fault a kernel driver must not have, which one check has to catch.

extern "C" __declspec(dllimport) void* __attribute__((stdcall)) KeGetCurrentThread();

#if defined(USBCAM_FAULT_CRT_IMPORT)
// A call into the user-mode C runtime.
extern "C" __declspec(dllimport) int __attribute__((cdecl)) puts(const char* text);
#endif

#if defined(USBCAM_FAULT_DECORATED_IMPORT)
// Through the toolchain's own libusbd.a, which names the import with its decoration.
extern "C" __declspec(dllimport) void* __attribute__((stdcall))
USBD_CreateConfigurationRequestEx(void* configuration, void* interfaces);
#endif

#if defined(USBCAM_FAULT_STATIC_CONSTRUCTOR)
// A static object whose constructor would have to run before DriverEntry.
struct Counter {
    Counter() : value(static_cast<int>(reinterpret_cast<unsigned long>(KeGetCurrentThread()))) {}
    int value;
};
Counter GlobalCounter;
#endif

#if defined(USBCAM_FAULT_VECTOR_COPY)
// A plain structure copy, which the compiler does with XMM registers when allowed to.
struct Block {
    unsigned long words[16];
};
extern "C" __attribute__((noinline)) void CopyBlock(Block* to, const Block* from)
{
    *to = *from;
}
#endif

#if defined(USBCAM_FAULT_EXPORT)
extern "C" __declspec(dllexport) int ExportedValue()
{
    return 1;
}
#endif

#if defined(USBCAM_FAULT_UNRESOLVED)
extern "C" void __attribute__((stdcall)) RoutineNobodyDefines(int);
#endif

extern "C" __attribute__((stdcall)) long OtherEntry(void*, void*)
{
    return 0;
}

extern "C" __attribute__((stdcall)) long DriverEntry(void* driverObject, void* registryPath)
{
    (void)registryPath;
    if (driverObject == KeGetCurrentThread()) {
        return 1;
    }
#if defined(USBCAM_FAULT_CRT_IMPORT)
    puts("driver");
#endif
#if defined(USBCAM_FAULT_DECORATED_IMPORT)
    USBD_CreateConfigurationRequestEx(driverObject, registryPath);
#endif
#if defined(USBCAM_FAULT_STATIC_CONSTRUCTOR)
    return GlobalCounter.value;
#endif
#if defined(USBCAM_FAULT_VECTOR_COPY)
    CopyBlock(static_cast<Block*>(driverObject), static_cast<Block*>(registryPath));
#endif
#if defined(USBCAM_FAULT_UNRESOLVED)
    RoutineNobodyDefines(1);
#endif
    return 0;
}
