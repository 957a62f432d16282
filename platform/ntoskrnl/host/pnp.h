// Host-side control of the PnP manager: binding drivers to hardware ids (as an INF does),
// devices arriving and leaving, and a plain bus device for tests.
#pragma once

#include <ntoskrnl/rtl/wide_string.h>
#include <wdm.h>

#include <string>
#include <vector>

namespace pnp {

typedef NTSTATUS(NTAPI* DriverEntryRoutine)(PDRIVER_OBJECT DriverObject,
                                            PUNICODE_STRING RegistryPath);

// Binds a driver (by service name) to hardware ids. The driver is loaded (DriverEntry once)
// when the first device with one of those ids arrives and unloaded when its last device goes.
void RegisterDriver(const rtl::WideString& serviceName, DriverEntryRoutine entry,
                    const std::vector<rtl::WideString>& hardwareIds);
// Forgets every binding (drivers with devices stay loaded until those devices go).
void ClearDriverBindings();

// What a bus driver reports for a new physical device object.
struct DeviceIdentity {
    // Most specific first, e.g. L"USB\\VID_F055&PID_C0DE".
    std::vector<rtl::WideString> hardwareIds;
    rtl::WideString instanceId;  // unique among devices with the same first id
};

// A new device: loads the bound driver if needed, builds the device stack (AddDevice) and
// starts it. Returns the start status; STATUS_NO_SUCH_DEVICE when no driver is bound. The
// device's registry keys (device key and driver key) exist from here on.
NTSTATUS ReportDevice(PDEVICE_OBJECT physicalDevice, const DeviceIdentity& identity);
// Query-stop then stop; and start again after a stop.
NTSTATUS StopDevice(PDEVICE_OBJECT physicalDevice);
NTSTATUS StartDevice(PDEVICE_OBJECT physicalDevice);
// Surprise removal (the hardware is gone) followed by removal.
void SurpriseRemoveDevice(PDEVICE_OBJECT physicalDevice);
// Orderly removal: query-remove then remove. Unloads the driver after its last device, running
// the verifier's leak check for it.
NTSTATUS RemoveDevice(PDEVICE_OBJECT physicalDevice);

// The top of the device stack built on the physical device object (the PDO when none).
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT physicalDevice);
bool IsDriverLoaded(const rtl::WideString& serviceName);
// The registry paths of a reported device's keys, e.g. for a test to seed settings.
rtl::WideString DriverKeyPath(PDEVICE_OBJECT physicalDevice);

// A plain bus device: a physical device object of a built-in bus driver that succeeds every
// PnP request and fails everything else with STATUS_INVALID_DEVICE_REQUEST. Delete it after
// its device was removed.
PDEVICE_OBJECT CreatePlainBusDevice();
void DeletePlainBusDevice(PDEVICE_OBJECT physicalDevice);

}  // namespace pnp
