// Querying, setting, deleting and enumerating values.
#include "config/information.h"
#include "config/key_object.h"
#include "config/names.h"
#include "config/registry_state.h"

namespace {

// The value name of a call; NULL or empty names the key's default value.
NTSTATUS ReadValueName(PUNICODE_STRING string, rtl::WideStringView& name)
{
    auto view = cm::StringView(string);
    if (!view) {
        return STATUS_INVALID_PARAMETER;
    }
    name = *view;
    return STATUS_SUCCESS;
}

// The key behind the handle, checked for `access`, and the value name of a value call.
NTSTATUS ResolveKeyAndName(HANDLE handle, ACCESS_MASK access, PUNICODE_STRING valueName,
                           cm::KeyReference& key, rtl::WideStringView& name)
{
    NTSTATUS status = key.Resolve(handle, access);
    return NT_SUCCESS(status) ? ReadValueName(valueName, name) : status;
}

}  // namespace

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length,
                                          PULONG ResultLength)
{
    cm::KeyReference key;
    rtl::WideStringView name;
    NTSTATUS status = ResolveKeyAndName(KeyHandle, KEY_QUERY_VALUE, ValueName, key, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return cm::FillFromLiveKey(key, KeyValueInformation, Length, ResultLength,
                               [&](const cm::KeyNode& node) -> NTSTATUS {
                                   const cm::Value* value = node.FindValue(name);
                                   if (value == nullptr) {
                                       return STATUS_OBJECT_NAME_NOT_FOUND;
                                   }
                                   return cm::FillValueInformation(*value, KeyValueInformationClass,
                                                                   KeyValueInformation, Length,
                                                                   ResultLength);
                               });
}

extern "C" NTSTATUS NTAPI ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                              KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                              PVOID KeyValueInformation, ULONG Length,
                                              PULONG ResultLength)
{
    cm::KeyReference key;
    NTSTATUS status = key.Resolve(KeyHandle, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return cm::FillFromLiveKey(key, KeyValueInformation, Length, ResultLength,
                               [&](const cm::KeyNode& node) -> NTSTATUS {
                                   if (Index >= node.values.size()) {
                                       return STATUS_NO_MORE_ENTRIES;
                                   }
                                   return cm::FillValueInformation(node.values[Index],
                                                                   KeyValueInformationClass,
                                                                   KeyValueInformation, Length,
                                                                   ResultLength);
                               });
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                        ULONG TitleIndex, ULONG Type, PVOID Data, ULONG DataSize)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    cm::KeyReference key;
    rtl::WideStringView name;
    NTSTATUS status = ResolveKeyAndName(KeyHandle, KEY_SET_VALUE, ValueName, key, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (Data == nullptr && DataSize > 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* bytes = static_cast<const UCHAR*>(Data);
    std::vector<UCHAR> data(bytes, bytes + (bytes == nullptr ? 0 : DataSize));
    cm::Registry& registry = cm::TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (key->Key()->deleted) {
        return STATUS_KEY_DELETED;
    }
    return registry.SetValue(*key->Key(), name, Type, std::move(data));
}

extern "C" NTSTATUS NTAPI ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName)
{
    cm::KeyReference key;
    rtl::WideStringView name;
    NTSTATUS status = ResolveKeyAndName(KeyHandle, KEY_SET_VALUE, ValueName, key, name);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    cm::Registry& registry = cm::TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (key->Key()->deleted) {
        return STATUS_KEY_DELETED;
    }
    return registry.DeleteValue(*key->Key(), name);
}
