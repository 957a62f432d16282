// The PnP manager: binds drivers to hardware ids, loads a driver for the first device it
// serves, builds each device stack through AddDevice, sends the start, stop and removal
// requests, and unloads a driver after its last device (with the verifier's leak check).
#include "io/io_internal.h"
#include "rtl/upcase.h"

#include <ntoskrnl/host/io_wait.h>
#include <ntoskrnl/host/pnp.h>
#include <ntoskrnl/host/registry.h>
#include <ntoskrnl/host/verifier.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

namespace pnp {

namespace {

struct Binding {
    rtl::WideString service;
    DriverEntryRoutine entry;
    std::vector<rtl::WideString> hardwareIds;
};

// A loaded driver: its object and extension in one record, with the strings they point to.
struct LoadedDriver {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    rtl::WideString service;
    rtl::WideString name;
    rtl::WideString registryPath;
    UNICODE_STRING registryPathString{};
    std::uint64_t loadEpoch = 0;
    int devices = 0;
};

struct DeviceNode {
    LoadedDriver* driver = nullptr;
    rtl::WideString driverKeyPath;
    bool started = false;
    // The stack was told it goes (surprise removal delivered, or query-remove agreed): only the
    // removal request is still owed to it.
    bool removalOwed = false;
};

struct Manager {
    std::recursive_mutex lock;  // PnP requests are serialised, as the platform does
    std::vector<Binding> bindings;
    std::map<rtl::WideString, std::unique_ptr<LoadedDriver>> drivers;  // by service name
    std::map<PDEVICE_OBJECT, DeviceNode> devices;
};

Manager& TheManager()
{
    static Manager* manager = new Manager;  // lives until exit
    return *manager;
}

bool SameId(const rtl::WideString& a, const rtl::WideString& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](WCHAR x, WCHAR y) {
               return rtl::UpcaseChar(x) == rtl::UpcaseChar(y);
           });
}

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

void InitializeUnicode(UNICODE_STRING& string, rtl::WideString& text)
{
    string.Buffer = text.data();
    string.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    string.MaximumLength = string.Length;
}

LoadedDriver* LoadDriver(Manager& manager, const Binding& binding, NTSTATUS& status)
{
    auto found = manager.drivers.find(binding.service);
    if (found != manager.drivers.end()) {
        status = STATUS_SUCCESS;
        return found->second.get();
    }
    auto driver = std::make_unique<LoadedDriver>();
    driver->service = binding.service;
    driver->name = L"\\Driver\\" + binding.service;
    driver->registryPath =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + binding.service;
    driver->loadEpoch = vf::MarkPoolEpoch();
    DRIVER_OBJECT& object = driver->object;
    object.Type = 4;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &driver->extension;
    driver->extension.DriverObject = &object;
    InitializeUnicode(object.DriverName, driver->name);
    InitializeUnicode(driver->registryPathString, driver->registryPath);
    driver->extension.ServiceKeyName = object.DriverName;
    object.DriverInit = binding.entry;
    for (PDRIVER_DISPATCH& dispatch : object.MajorFunction) {
        dispatch = InvalidDeviceRequest;
    }
    status = binding.entry(&object, &driver->registryPathString);
    vf::CheckThreadState("DriverEntry");
    if (!NT_SUCCESS(status)) {
        return nullptr;
    }
    LoadedDriver* loaded = driver.get();
    manager.drivers.emplace(binding.service, std::move(driver));
    return loaded;
}

// Frees the driver after its last device: DriverUnload, then the verifier's leak check on
// everything allocated since the load that is not a device object of another driver.
void UnloadIfUnused(Manager& manager, LoadedDriver* driver)
{
    if (driver->devices != 0) {
        return;
    }
    if (driver->object.DriverUnload != nullptr) {
        driver->object.DriverUnload(&driver->object);
    }
    std::vector<vf::PoolBlock> leaked = vf::OutstandingBlocksExcept(
        driver->loadEpoch, [driver](const vf::PoolBlock& block) {
            // Device objects of other drivers are not this driver's; its own deleted ones may
            // still be held by open handles, which release them when they close. Packets the
            // I/O manager built for an application's requests are the application's until it
            // collects them.
            auto* device = static_cast<PDEVICE_OBJECT>(const_cast<void*>(block.address));
            auto* irp = static_cast<PIRP>(const_cast<void*>(block.address));
            return (block.tag == io::kDeviceTag && (device->DriverObject != &driver->object ||
                                                    io::IsDeviceDeleted(device))) ||
                   (block.tag == io::kIrpTag && irp->RequestorMode == UserMode);
        });
    std::string when = "unload of driver ";
    for (WCHAR c : driver->service) {
        when += static_cast<char>(c < 0x80 ? c : '?');
    }
    vf::ReportLeakedBlocks(when.c_str(), leaked);
    manager.drivers.erase(driver->service);
}

// What SendPnpRequest answers when it could not build the request: the stack never saw it.
constexpr NTSTATUS kNotSent = STATUS_INSUFFICIENT_RESOURCES;

// Sends one PnP request to the top of the device's stack and waits for it.
NTSTATUS SendPnpRequest(PDEVICE_OBJECT physicalDevice, UCHAR minor)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(physicalDevice);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        return kNotSent;
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, io::SignalEventOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

DeviceNode* FindNode(Manager& manager, PDEVICE_OBJECT physicalDevice)
{
    auto found = manager.devices.find(physicalDevice);
    return found == manager.devices.end() ? nullptr : &found->second;
}

constexpr WCHAR kMachineRoot[] = L"\\Registry\\Machine";
constexpr WCHAR kClassRoot[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\";
// The setup class of imaging devices.
constexpr WCHAR kImageClass[] = L"{6BDD1FC6-810F-11D0-BEC7-08002BE2092F}";

// The device's instance key: the enumerator and device id (the least specific hardware id),
// then the instance id.
rtl::WideString DeviceKeyPath(const DeviceIdentity& identity)
{
    rtl::WideString path = rtl::WideString(kMachineRoot) + L"\\System\\CurrentControlSet\\Enum\\";
    path += identity.hardwareIds.empty() ? L"ROOT\\UNKNOWN" : identity.hardwareIds.back();
    path += L"\\" + (identity.instanceId.empty() ? rtl::WideString(L"0000") : identity.instanceId);
    return path;
}

// Creates every missing key along a path below \Registry\Machine.
void CreateKeyAlong(const rtl::WideString& path)
{
    std::size_t position = rtl::WideStringView(kMachineRoot).size();
    while (position != rtl::WideString::npos) {
        position = path.find(L'\\', position + 1);
        rtl::WideString prefix = path.substr(0, position);
        if (!reg::KeyExists(prefix)) {
            reg::CreateKey(prefix);
        }
    }
}

// The device's driver key, as the installer assigns it: kept in the instance key's "Driver"
// value, so that a device keeps its key (and its settings) from one run to the next.
rtl::WideString AssignDriverKey(const rtl::WideString& deviceKey)
{
    if (std::optional<rtl::WideString> existing = reg::ReadString(deviceKey, L"Driver")) {
        return kClassRoot + *existing;
    }
    rtl::WideString relative;
    for (unsigned index = 0;; ++index) {
        char number[16];
        std::snprintf(number, sizeof number, "%04u", index);
        relative = rtl::WideString(kImageClass) + L"\\" + rtl::WidenAscii(number);
        if (!reg::KeyExists(kClassRoot + relative)) {
            break;
        }
    }
    rtl::WideString driverKey = kClassRoot + relative;
    CreateKeyAlong(deviceKey);
    CreateKeyAlong(driverKey);
    reg::WriteString(deviceKey, L"Driver", relative);
    return driverKey;
}

// Ends a device node: the removal request, then the driver's unload when it was the last.
// A removal request that cannot be built (no memory for the packet) leaves the node and its
// driver as they are: the device objects still exist, so the driver stays loaded, and the next
// removal of the device tries again. Returns whether the node ended.
bool FinishRemoval(Manager& manager, PDEVICE_OBJECT physicalDevice)
{
    DeviceNode* node = FindNode(manager, physicalDevice);
    if (node == nullptr) {
        return true;
    }
    if (SendPnpRequest(physicalDevice, IRP_MN_REMOVE_DEVICE) == kNotSent) {
        return false;
    }
    LoadedDriver* driver = node->driver;
    manager.devices.erase(physicalDevice);
    reg::ForgetDevice(physicalDevice);
    --driver->devices;
    UnloadIfUnused(manager, driver);
    return true;
}

}  // namespace

void RegisterDriver(const rtl::WideString& serviceName, DriverEntryRoutine entry,
                    const std::vector<rtl::WideString>& hardwareIds)
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    manager.bindings.push_back(Binding{serviceName, entry, hardwareIds});
}

void ClearDriverBindings()
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    manager.bindings.clear();
}

NTSTATUS ReportDevice(PDEVICE_OBJECT physicalDevice, const DeviceIdentity& identity)
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    if (FindNode(manager, physicalDevice) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    const Binding* binding = nullptr;
    for (const rtl::WideString& id : identity.hardwareIds) {
        for (const Binding& candidate : manager.bindings) {
            for (const rtl::WideString& bound : candidate.hardwareIds) {
                if (binding == nullptr && SameId(id, bound)) {
                    binding = &candidate;
                }
            }
        }
    }
    if (binding == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }

    // The device's keys exist before its driver runs, as the installer made them.
    rtl::WideString deviceKey = DeviceKeyPath(identity);
    rtl::WideString driverKey = AssignDriverKey(deviceKey);
    reg::SetDeviceKeyPaths(physicalDevice, deviceKey, driverKey);

    NTSTATUS status;
    LoadedDriver* driver = LoadDriver(manager, *binding, status);
    if (driver == nullptr) {
        reg::ForgetDevice(physicalDevice);
        return status;
    }
    ++driver->devices;
    manager.devices[physicalDevice] = DeviceNode{driver, driverKey, false};
    status = STATUS_SUCCESS;
    if (driver->extension.AddDevice != nullptr) {
        status = driver->extension.AddDevice(&driver->object, physicalDevice);
        vf::CheckThreadState("AddDevice");
    }
    if (NT_SUCCESS(status)) {
        status = SendPnpRequest(physicalDevice, IRP_MN_START_DEVICE);
    }
    if (!NT_SUCCESS(status)) {
        // A device that cannot be added or started is removed again.
        FinishRemoval(manager, physicalDevice);
        return status;
    }
    manager.devices[physicalDevice].started = true;
    return STATUS_SUCCESS;
}

NTSTATUS StopDevice(PDEVICE_OBJECT physicalDevice)
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    DeviceNode* node = FindNode(manager, physicalDevice);
    if (node == nullptr || !node->started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SendPnpRequest(physicalDevice, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        SendPnpRequest(physicalDevice, IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    // Without a stop packet the stop is called off, as after a refused query.
    if (SendPnpRequest(physicalDevice, IRP_MN_STOP_DEVICE) == kNotSent) {
        SendPnpRequest(physicalDevice, IRP_MN_CANCEL_STOP_DEVICE);
        return kNotSent;
    }
    node->started = false;
    return STATUS_SUCCESS;
}

NTSTATUS StartDevice(PDEVICE_OBJECT physicalDevice)
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    DeviceNode* node = FindNode(manager, physicalDevice);
    if (node == nullptr || node->started) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS status = SendPnpRequest(physicalDevice, IRP_MN_START_DEVICE);
    node->started = NT_SUCCESS(status);
    return status;
}

void SurpriseRemoveDevice(PDEVICE_OBJECT physicalDevice)
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    DeviceNode* node = FindNode(manager, physicalDevice);
    if (node == nullptr) {
        return;
    }
    // Drivers cannot fail a surprise removal; only the missing packet keeps it from them, and
    // then the next removal of the device delivers it first.
    if (!node->removalOwed) {
        if (SendPnpRequest(physicalDevice, IRP_MN_SURPRISE_REMOVAL) == kNotSent) {
            return;
        }
        node->removalOwed = true;
        node->started = false;
    }
    FinishRemoval(manager, physicalDevice);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT physicalDevice)
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    DeviceNode* node = FindNode(manager, physicalDevice);
    if (node == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (node->removalOwed) {
        return FinishRemoval(manager, physicalDevice) ? STATUS_SUCCESS : kNotSent;
    }
    NTSTATUS status = SendPnpRequest(physicalDevice, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
        SendPnpRequest(physicalDevice, IRP_MN_CANCEL_REMOVE_DEVICE);
        return status;
    }
    node->removalOwed = true;
    return FinishRemoval(manager, physicalDevice) ? STATUS_SUCCESS : kNotSent;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT physicalDevice)
{
    return IoGetAttachedDevice(physicalDevice);
}

bool IsDriverLoaded(const rtl::WideString& serviceName)
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    return manager.drivers.count(serviceName) != 0;
}

rtl::WideString DriverKeyPath(PDEVICE_OBJECT physicalDevice)
{
    Manager& manager = TheManager();
    std::lock_guard<std::recursive_mutex> guard(manager.lock);
    DeviceNode* node = FindNode(manager, physicalDevice);
    return node == nullptr ? rtl::WideString() : node->driverKeyPath;
}

}  // namespace pnp
