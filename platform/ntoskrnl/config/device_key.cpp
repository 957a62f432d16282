// The device registry keys of physical device objects.
#include "config/key_object.h"
#include "config/names.h"
#include "config/registry_state.h"

namespace {

constexpr rtl::WideStringView kMachineRoot = L"\\Registry\\Machine";
constexpr rtl::WideStringView kCurrentProfile =
    L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current";

// The key path for a key type, or nullopt when the type is not one of the published ones.
std::optional<rtl::WideString> PathFor(const cm::DeviceKeyPaths& paths, ULONG keyType)
{
    const ULONG base = keyType & ~ULONG{PLUGPLAY_REGKEY_CURRENT_HWPROFILE};
    rtl::WideString path;
    if (base == PLUGPLAY_REGKEY_DEVICE) {
        path = paths.device;
    } else if (base == PLUGPLAY_REGKEY_DRIVER) {
        path = paths.driver;
    } else {
        return std::nullopt;
    }
    if ((keyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0) {
        // The current hardware profile mirrors the machine's keys below its own key.
        if (path.size() < kMachineRoot.size() ||
            !cm::NamesEqual(rtl::WideStringView(path).substr(0, kMachineRoot.size()),
                            kMachineRoot)) {
            return rtl::WideString();
        }
        path = rtl::WideString(kCurrentProfile) + path.substr(kMachineRoot.size());
    }
    return path;
}

}  // namespace

extern "C" NTSTATUS NTAPI IoOpenDeviceRegistryKey(struct _DEVICE_OBJECT* DeviceObject,
                                                  ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                                  PHANDLE DevInstRegKey)
{
    if (DevInstRegKey == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *DevInstRegKey = nullptr;
    cm::Registry& registry = cm::TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto device = registry.devices.find(DeviceObject);
    if (device == registry.devices.end()) {
        return STATUS_INVALID_DEVICE_REQUEST;  // not a physical device object we know
    }
    auto path = PathFor(device->second, DevInstKeyType);
    if (!path) {
        return STATUS_INVALID_PARAMETER;
    }
    if (path->empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;  // no such key registered for the device
    }
    std::shared_ptr<cm::KeyNode> key;
    const NTSTATUS status = registry.CreatePath(*path, key);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    cm::InsertKeyHandle(std::move(key), DesiredAccess, DevInstRegKey);
    return STATUS_SUCCESS;
}
