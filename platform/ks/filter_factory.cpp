// Filter factories: KsCreateFilterFactory registers a filter under its categories with its
// reference string; applications find it by category and open it by symbolic link.
#include "framework_objects.h"

#include <ntoskrnl/host/verifier.h>

#include <algorithm>
#include <cstdio>

namespace ks {

namespace {

struct Interface {
    rtl::WideString link;
    GUID category;
    FilterFactory* factory;
};

struct InterfaceTable {
    std::mutex lock;
    std::vector<Interface> interfaces;
};

InterfaceTable& Interfaces()
{
    static InterfaceTable* table = new InterfaceTable;  // lives until exit
    return *table;
}

rtl::WideString Lower(rtl::WideString text)
{
    for (WCHAR& c : text) {
        if (c >= L'A' && c <= L'Z') {
            c = static_cast<WCHAR>(c - L'A' + L'a');
        }
    }
    return text;
}

rtl::WideString GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return rtl::WidenAscii(text);
}

}  // namespace

std::vector<rtl::WideString> LinksForCategory(const GUID& category)
{
    InterfaceTable& table = Interfaces();
    std::lock_guard<std::mutex> guard(table.lock);
    std::vector<rtl::WideString> links;
    for (const Interface& entry : table.interfaces) {
        if (IsEqualGUID(entry.category, category)) {
            links.push_back(entry.link);
        }
    }
    return links;
}

PDEVICE_OBJECT ReferenceDeviceForLink(const rtl::WideString& symbolicLink,
                                      rtl::WideString& referenceString)
{
    InterfaceTable& table = Interfaces();
    std::lock_guard<std::mutex> guard(table.lock);
    rtl::WideString wanted = Lower(symbolicLink);
    for (const Interface& entry : table.interfaces) {
        if (entry.link == wanted) {
            // A factory leaves the table before it is freed, and its device's objects only
            // after that: while the entry is found under the table's lock, both are alive.
            PDEVICE_OBJECT device = entry.factory->device->functionalDevice;
            ObfReferenceObject(device);
            referenceString = entry.factory->referenceString;
            return device;
        }
    }
    return nullptr;
}

FilterFactory* FactoryForReference(Device* device, const rtl::WideString& referenceString)
{
    rtl::WideString wanted = Lower(referenceString);
    std::lock_guard<std::mutex> guard(device->factoriesLock);
    for (const auto& factory : device->factories) {
        if (Lower(factory->referenceString) == wanted) {
            return factory.get();
        }
    }
    return nullptr;
}

void RemoveFactories(Device* device, bool onlyFreeOnStop)
{
    // Client calls find factories and close filters under the lifetime lock: none runs while
    // factories go and their filters are closed here.
    std::unique_lock<std::shared_mutex> gate(DeviceLifetimeLock());
    std::vector<std::unique_ptr<FilterFactory>> removed;
    {
        std::lock_guard<std::mutex> guard(device->factoriesLock);
        auto& factories = device->factories;
        for (auto it = factories.begin(); it != factories.end();) {
            if (onlyFreeOnStop && ((*it)->createItemFlags & KSCREATE_ITEM_FREEONSTOP) == 0) {
                ++it;
            } else {
                removed.push_back(std::move(*it));
                it = factories.erase(it);
            }
        }
    }
    for (const auto& factory : removed) {
        {
            InterfaceTable& table = Interfaces();
            std::lock_guard<std::mutex> guard(table.lock);
            auto& interfaces = table.interfaces;
            interfaces.erase(std::remove_if(interfaces.begin(), interfaces.end(),
                                            [&factory](const Interface& entry) {
                                                return entry.factory == factory.get();
                                            }),
                             interfaces.end());
        }
        // Filters opened through this factory are closed with it.
        std::vector<Filter*> open;
        {
            std::lock_guard<std::mutex> guard(device->filtersLock);
            for (Filter* filter : device->filters) {
                if (filter->factory == factory.get()) {
                    open.push_back(filter);
                }
            }
        }
        for (Filter* filter : open) {
            CloseFilter(filter, nullptr);
        }
    }
}

}  // namespace ks

extern "C" NTSTATUS NTAPI KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject,
                                                const KSFILTER_DESCRIPTOR* Descriptor,
                                                PWSTR RefString, PSECURITY_DESCRIPTOR,
                                                ULONG CreateItemFlags, PFNKSFILTERFACTORYPOWER,
                                                PFNKSFILTERFACTORYPOWER,
                                                PKSFILTERFACTORY* FilterFactory)
{
    ks::Device* device = ks::DeviceOfFunctionalDevice(DeviceObject);
    if (device == nullptr || Descriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (vf::SimulateAllocationFailure(vf::TagFromText("KsFf"))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    rtl::WideString reference =
        RefString != nullptr ? RefString : ks::GuidText(*Descriptor->ReferenceGuid);
    if (ks::FactoryForReference(device, reference) != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    auto factory = std::make_unique<ks::FilterFactory>();
    factory->device = device;
    factory->descriptor = Descriptor;
    factory->referenceString = reference;
    factory->createItemFlags = CreateItemFlags;
    {
        ks::InterfaceTable& table = ks::Interfaces();
        std::lock_guard<std::mutex> guard(table.lock);
        for (ULONG i = 0; i < Descriptor->CategoriesCount; ++i) {
            rtl::WideString link =
                ks::Lower(L"\\\\?\\" + device->instanceName + L"#" +
                          ks::GuidText(Descriptor->Categories[i]) + L"\\" + reference);
            table.interfaces.push_back(ks::Interface{link, Descriptor->Categories[i], factory.get()});
            factory->symbolicLinks.push_back(link);
        }
    }
    if (FilterFactory != nullptr) {
        *FilterFactory = reinterpret_cast<PKSFILTERFACTORY>(factory.get());
    }
    std::lock_guard<std::mutex> guard(device->factoriesLock);
    device->factories.push_back(std::move(factory));
    return STATUS_SUCCESS;
}
