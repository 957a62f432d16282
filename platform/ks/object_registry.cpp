// Lookups from the published framework structures to the framework's objects.
#include "framework_objects.h"

#include <unordered_map>

namespace ks {

namespace {

struct Entry {
    Device* device = nullptr;
    Filter* filter = nullptr;
    Pin* pin = nullptr;
};

struct Registry {
    std::mutex lock;
    std::unordered_map<const void*, Entry> objects;
};

Registry& TheRegistry()
{
    static Registry* registry = new Registry;  // lives until exit
    return *registry;
}

Entry Find(const void* published)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    auto found = registry.objects.find(published);
    return found == registry.objects.end() ? Entry{} : found->second;
}

void Insert(const void* published, Entry entry)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.objects[published] = entry;
}

}  // namespace

void RegisterObject(const void* published, Device* device)
{
    Insert(published, Entry{device, nullptr, nullptr});
}

void RegisterObject(const void* published, Filter* filter)
{
    Insert(published, Entry{nullptr, filter, nullptr});
}

void RegisterObject(const void* published, Pin* pin)
{
    Insert(published, Entry{nullptr, nullptr, pin});
}

void UnregisterObject(const void* published)
{
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.objects.erase(published);
}

Device* DeviceOf(const void* published)
{
    return Find(published).device;
}

Filter* FilterOf(const void* published)
{
    return Find(published).filter;
}

Pin* PinOf(const void* published)
{
    return Find(published).pin;
}

std::shared_mutex& DeviceLifetimeLock()
{
    static std::shared_mutex* lock = new std::shared_mutex;
    return *lock;
}

}  // namespace ks

extern "C" PKSDEVICE NTAPI KsGetDevice(PVOID Object)
{
    if (ks::Device* device = ks::DeviceOf(Object)) {
        return &device->ks;
    }
    if (ks::Filter* filter = ks::FilterOf(Object)) {
        return &filter->device->ks;
    }
    if (ks::Pin* pin = ks::PinOf(Object)) {
        return &pin->filter->device->ks;
    }
    return nullptr;
}

extern "C" PKSFILTER NTAPI KsPinGetParentFilter(PKSPIN Pin)
{
    ks::Pin* pin = ks::PinOf(Pin);
    return pin == nullptr ? nullptr : &pin->filter->ks;
}

namespace {

// The framework context of the file object an IRP is addressed to; nullptr when none.
ks::FileContext* FileContextOf(PIRP irp)
{
    if (irp == nullptr) {
        return nullptr;
    }
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return file == nullptr ? nullptr : static_cast<ks::FileContext*>(file->FsContext);
}

}  // namespace

extern "C" PKSFILTER NTAPI KsGetFilterFromIrp(PIRP Irp)
{
    ks::FileContext* context = FileContextOf(Irp);
    if (context == nullptr) {
        return nullptr;
    }
    ks::Filter* filter = context->pin != nullptr ? context->pin->filter : context->filter;
    return filter == nullptr ? nullptr : &filter->ks;
}

extern "C" PKSPIN NTAPI KsGetPinFromIrp(PIRP Irp)
{
    ks::FileContext* context = FileContextOf(Irp);
    return context == nullptr || context->pin == nullptr ? nullptr : &context->pin->ks;
}

extern "C" PKSDEVICE NTAPI KsGetDeviceForDeviceObject(PDEVICE_OBJECT FunctionalDeviceObject)
{
    ks::Device* device = ks::DeviceOfFunctionalDevice(FunctionalDeviceObject);
    return device == nullptr ? nullptr : &device->ks;
}
