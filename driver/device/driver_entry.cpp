// The driver's entry point: hand the device descriptor to the streaming framework.
#include "device/descriptor_tables.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    return KsInitializeDriver(DriverObject, RegistryPath, &DeviceDescriptor);
}
