// KsInitializeDriver, the framework's AddDevice and its handling of PnP requests.
#include "callback_guard.h"
#include "framework_objects.h"

#include <ntoskrnl/host/io_wait.h>

#include <map>

namespace ks {

namespace {

struct DriverTable {
    std::mutex lock;
    std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*> descriptors;
};

DriverTable& Drivers()
{
    static DriverTable* table = new DriverTable;  // lives until exit
    return *table;
}

ULONG NextDeviceNumber()
{
    static std::atomic<ULONG> next{0};
    return next++;
}

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Passes the request to the next-lower driver and waits until it comes back up.
NTSTATUS ForwardAndWait(Device* device, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, io::SignalEventOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(device->ks.NextDeviceObject, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS PassDown(Device* device, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(device->ks.NextDeviceObject, irp);
}

const KSDEVICE_DISPATCH* DispatchOf(Device* device)
{
    return device->ks.Descriptor == nullptr ? nullptr : device->ks.Descriptor->Dispatch;
}

void CreateDescriptorFactories(Device* device)
{
    static WCHAR referenceString[] = L"GLOBAL";
    const KSDEVICE_DESCRIPTOR* descriptor = device->ks.Descriptor;
    for (ULONG i = 0; descriptor != nullptr && i < descriptor->FilterDescriptorsCount; ++i) {
        KsCreateFilterFactory(device->functionalDevice, descriptor->FilterDescriptors[i],
                              referenceString, nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr,
                              nullptr);
    }
}

NTSTATUS StartDevice(Device* device, PIRP irp)
{
    NTSTATUS status = ForwardAndWait(device, irp);
    if (NT_SUCCESS(status)) {
        const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
        if (dispatch != nullptr && dispatch->Start != nullptr) {
            status = InvokeCallback("device Start", [&] {
                return dispatch->Start(&device->ks, irp, nullptr, nullptr);
            });
        }
        if (NT_SUCCESS(status)) {
            if (!device->ks.Started) {
                CreateDescriptorFactories(device);
            }
            device->ks.Started = TRUE;
            if (dispatch != nullptr && dispatch->PostStart != nullptr) {
                InvokeCallback("device PostStart", [&] { return dispatch->PostStart(&device->ks); });
            }
        }
    }
    return CompleteIrp(irp, status);
}

// Closes every open filter of the device (pins first), as when its handles are invalidated.
void CloseAllFilters(Device* device, PIRP irp)
{
    for (;;) {
        Filter* filter;
        {
            std::lock_guard<std::mutex> guard(device->filtersLock);
            if (device->filters.empty()) {
                return;
            }
            filter = device->filters.back();
        }
        CloseFilter(filter, irp);
    }
}

void StopDevice(Device* device, PIRP irp)
{
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    if (device->ks.Started && dispatch != nullptr && dispatch->Stop != nullptr) {
        InvokeCallback("device Stop", [&] {
            dispatch->Stop(&device->ks, irp);
            return 0;
        });
    }
    device->ks.Started = FALSE;
    RemoveFactories(device, true);
}

NTSTATUS RemoveDevice(Device* device, PIRP irp)
{
    {
        // No client request or close runs while the files left open are closed here.
        std::unique_lock<std::shared_mutex> gate(DeviceLifetimeLock());
        device->removed = true;
        CloseAllFilters(device, irp);
    }
    StopDevice(device, irp);
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    if (dispatch != nullptr && dispatch->Remove != nullptr) {
        InvokeCallback("device Remove", [&] {
            dispatch->Remove(&device->ks, irp);
            return 0;
        });
    }
    RemoveFactories(device, false);
    irp->IoStatus.Status = STATUS_SUCCESS;
    PDEVICE_OBJECT next = device->ks.NextDeviceObject;
    NTSTATUS status = PassDown(device, irp);
    IoDetachDevice(next);
    device->bag.FreeAll();
    UnregisterObject(&device->ks);
    PDEVICE_OBJECT functionalDevice = device->functionalDevice;
    {
        // Client calls look the device up under the lifetime lock.
        std::unique_lock<std::shared_mutex> gate(DeviceLifetimeLock());
        *static_cast<Device**>(functionalDevice->DeviceExtension) = nullptr;
        delete device;
    }
    IoDeleteDevice(functionalDevice);
    return status;
}

NTSTATUS QueryOrCancel(Device* device, PIRP irp, PFNKSDEVICEIRP query, const char* what)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (query != nullptr) {
        status = InvokeCallback(what, [&] { return query(&device->ks, irp); });
    }
    if (!NT_SUCCESS(status)) {
        return CompleteIrp(irp, status);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(device, irp);
}

NTSTATUS NotifyAndPassDown(Device* device, PIRP irp, PFNKSDEVICEIRPVOID notify, const char* what)
{
    if (notify != nullptr) {
        InvokeCallback(what, [&] {
            notify(&device->ks, irp);
            return 0;
        });
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(device, irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Device* device = DeviceOfFunctionalDevice(DeviceObject);
    if (device == nullptr) {
        return CompleteIrp(Irp, STATUS_NO_SUCH_DEVICE);
    }
    const KSDEVICE_DISPATCH* dispatch = DispatchOf(device);
    static const KSDEVICE_DISPATCH none{};
    const KSDEVICE_DISPATCH& table = dispatch != nullptr ? *dispatch : none;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartDevice(device, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryOrCancel(device, Irp, table.QueryStop, "device QueryStop");
    case IRP_MN_CANCEL_STOP_DEVICE:
        return NotifyAndPassDown(device, Irp, table.CancelStop, "device CancelStop");
    case IRP_MN_STOP_DEVICE:
        StopDevice(device, Irp);
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(device, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryOrCancel(device, Irp, table.QueryRemove, "device QueryRemove");
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return NotifyAndPassDown(device, Irp, table.CancelRemove, "device CancelRemove");
    case IRP_MN_SURPRISE_REMOVAL: {
        std::unique_lock<std::shared_mutex> gate(DeviceLifetimeLock());
        device->removed = true;
    }
        return NotifyAndPassDown(device, Irp, table.SurpriseRemoval, "device SurpriseRemoval");
    case IRP_MN_REMOVE_DEVICE: return RemoveDevice(device, Irp);
    default: return PassDown(device, Irp);
    }
}

NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP Irp)
{
    return CompleteIrp(Irp, STATUS_SUCCESS);
}

NTSTATUS NTAPI DispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Device* device = DeviceOfFunctionalDevice(DeviceObject);
    if (device == nullptr) {
        return CompleteIrp(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    return PassDown(device, Irp);
}

void NTAPI UnloadDriver(PDRIVER_OBJECT DriverObject)
{
    DriverTable& table = Drivers();
    std::lock_guard<std::mutex> guard(table.lock);
    table.descriptors.erase(DriverObject);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    const KSDEVICE_DESCRIPTOR* descriptor = DeviceDescriptorOf(DriverObject);
    PDEVICE_OBJECT functionalDevice = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(Device*), nullptr, FILE_DEVICE_KS, 0,
                                     FALSE, &functionalDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* device = new Device;
    *static_cast<Device**>(functionalDevice->DeviceExtension) = device;
    device->functionalDevice = functionalDevice;
    device->instanceName = L"ks#device#" + rtl::WidenAscii(std::to_string(NextDeviceNumber()));
    device->ks.Descriptor = descriptor;
    device->ks.Bag = device->bag.Handle();
    device->ks.FunctionalDeviceObject = functionalDevice;
    device->ks.PhysicalDeviceObject = PhysicalDeviceObject;
    device->ks.NextDeviceObject = IoAttachDeviceToDeviceStack(functionalDevice, PhysicalDeviceObject);
    device->ks.SystemPowerState = PowerSystemWorking;
    device->ks.DevicePowerState = PowerDeviceD0;
    RegisterObject(&device->ks, device);
    functionalDevice->Flags &= ~DO_DEVICE_INITIALIZING;

    const KSDEVICE_DISPATCH* dispatch = descriptor == nullptr ? nullptr : descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Add != nullptr) {
        status = InvokeCallback("device Add", [&] { return dispatch->Add(&device->ks); });
        if (!NT_SUCCESS(status)) {
            IoDetachDevice(device->ks.NextDeviceObject);
            device->bag.FreeAll();
            UnregisterObject(&device->ks);
            delete device;
            IoDeleteDevice(functionalDevice);
            return status;
        }
    }
    return STATUS_SUCCESS;
}

}  // namespace

// Create, close and device-control dispatch live with the objects they serve.
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

const KSDEVICE_DESCRIPTOR* DeviceDescriptorOf(PDRIVER_OBJECT driver)
{
    DriverTable& table = Drivers();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.descriptors.find(driver);
    return found == table.descriptors.end() ? nullptr : found->second;
}

Device* DeviceOfFunctionalDevice(PDEVICE_OBJECT functionalDevice)
{
    if (functionalDevice == nullptr || DeviceDescriptorOf(functionalDevice->DriverObject) == nullptr ||
        functionalDevice->DeviceExtension == nullptr) {
        return nullptr;
    }
    return *static_cast<Device**>(functionalDevice->DeviceExtension);
}

}  // namespace ks

extern "C" NTSTATUS NTAPI KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING,
                                             const KSDEVICE_DESCRIPTOR* Descriptor)
{
    if (DriverObject == nullptr || Descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    {
        ks::DriverTable& table = ks::Drivers();
        std::lock_guard<std::mutex> guard(table.lock);
        table.descriptors[DriverObject] = Descriptor;
    }
    DriverObject->DriverExtension->AddDevice = ks::AddDevice;
    DriverObject->DriverUnload = ks::UnloadDriver;
    for (PDRIVER_DISPATCH& dispatch : DriverObject->MajorFunction) {
        dispatch = ks::DispatchOther;
    }
    DriverObject->MajorFunction[IRP_MJ_PNP] = ks::DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_CREATE] = ks::DispatchCreate;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = ks::DispatchClose;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = ks::DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ks::DispatchDeviceControl;
    return STATUS_SUCCESS;
}

extern "C" void NTAPI KsAcquireDevice(PKSDEVICE Device)
{
    ks::DeviceOf(Device)->acquireLock.lock();
}

extern "C" void NTAPI KsReleaseDevice(PKSDEVICE Device)
{
    ks::DeviceOf(Device)->acquireLock.unlock();
}
