// Opening, creating, enumerating and flushing keys.
#include "config/information.h"
#include "config/key_object.h"
#include "config/names.h"
#include "config/registry_state.h"

namespace {

constexpr ULONG kSupportedCreateOptions = REG_OPTION_VOLATILE;

// Where a name in object attributes leads: the key it starts from and the components below
// it. Absolute names ("\Registry\...") start at \Registry when there is no root directory;
// otherwise the name is relative to the root directory's key. Called under the registry lock;
// `root` is the resolved root directory handle, if any.
NTSTATUS ParseName(const OBJECT_ATTRIBUTES& attributes, const cm::KeyReference& root,
                   std::shared_ptr<cm::KeyNode>& start, std::vector<rtl::WideString>& components)
{
    auto name = cm::StringView(attributes.ObjectName);
    if (!name) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    cm::Registry& registry = cm::TheRegistry();
    if (root) {
        start = root->Key();
        if (!name->empty() && name->front() == L'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
    } else {
        start = registry.CurrentHive().Root();
        if (name->empty() || name->front() != L'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        name->remove_prefix(1);
    }
    if (start->deleted) {
        return STATUS_KEY_DELETED;
    }
    auto split = cm::SplitKeyPath(*name);
    if (!split) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    components = std::move(*split);
    if (!root) {
        if (components.empty() || !cm::NamesEqual(components.front(), start->name)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;  // not in the registry's namespace
        }
        components.erase(components.begin());
    }
    return STATUS_SUCCESS;
}

// Checks the common arguments and resolves the root directory.
NTSTATUS BeginOpen(PHANDLE KeyHandle, POBJECT_ATTRIBUTES ObjectAttributes, cm::KeyReference& root)
{
    if (KeyHandle == nullptr || ObjectAttributes == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *KeyHandle = nullptr;
    if (ObjectAttributes->RootDirectory != nullptr) {
        return root.Resolve(ObjectAttributes->RootDirectory);
    }
    return STATUS_SUCCESS;
}

}  // namespace

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                    POBJECT_ATTRIBUTES ObjectAttributes)
{
    cm::KeyReference root;
    NTSTATUS status = BeginOpen(KeyHandle, ObjectAttributes, root);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    cm::Registry& registry = cm::TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    std::shared_ptr<cm::KeyNode> start;
    std::vector<rtl::WideString> components;
    status = ParseName(*ObjectAttributes, root, start, components);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::shared_ptr<cm::KeyNode> key = cm::Hive::Find(start, components);
    if (key == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    cm::InsertKeyHandle(std::move(key), DesiredAccess, KeyHandle);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                                      POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                                      PUNICODE_STRING Class, ULONG CreateOptions,
                                      PULONG Disposition)
{
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    cm::KeyReference root;
    NTSTATUS status = BeginOpen(KeyHandle, ObjectAttributes, root);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((CreateOptions & ~kSupportedCreateOptions) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    cm::Registry& registry = cm::TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    std::shared_ptr<cm::KeyNode> parent;
    std::vector<rtl::WideString> components;
    status = ParseName(*ObjectAttributes, root, parent, components);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::shared_ptr<cm::KeyNode> key = parent;
    bool created = false;
    if (!components.empty()) {
        const rtl::WideString last = std::move(components.back());
        components.pop_back();
        parent = cm::Hive::Find(parent, components);
        if (parent == nullptr) {
            return STATUS_OBJECT_NAME_NOT_FOUND;  // only the last component is created
        }
        key = parent->Subkey(last);
        if (key == nullptr) {
            const bool isVolatile = (CreateOptions & REG_OPTION_VOLATILE) != 0;
            if (parent == registry.CurrentHive().Root()) {
                return STATUS_ACCESS_DENIED;  // \Registry holds only its two roots
            }
            if (parent->isVolatile && !isVolatile) {
                return cm::kStatusChildMustBeVolatile;
            }
            key = parent->AddSubkey(last, isVolatile, created);
            status = registry.SaveAfterChange(*key);
            if (!NT_SUCCESS(status)) {
                return status;  // the key stays in memory; the file keeps its old contents
            }
        }
    }
    cm::InsertKeyHandle(std::move(key), DesiredAccess, KeyHandle);
    if (Disposition != nullptr) {
        *Disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                                         KEY_INFORMATION_CLASS KeyInformationClass,
                                         PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    cm::KeyReference key;
    NTSTATUS status = key.Resolve(KeyHandle, KEY_ENUMERATE_SUB_KEYS);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return cm::FillFromLiveKey(key, KeyInformation, Length, ResultLength,
                               [&](const cm::KeyNode& node) -> NTSTATUS {
                                   if (Index >= node.subkeys.size()) {
                                       return STATUS_NO_MORE_ENTRIES;
                                   }
                                   auto subkey = std::next(node.subkeys.begin(), Index)->second;
                                   return cm::FillKeyInformation(*subkey, KeyInformationClass,
                                                                 KeyInformation, Length,
                                                                 ResultLength);
                               });
}

extern "C" NTSTATUS NTAPI ZwFlushKey(HANDLE KeyHandle)
{
    cm::KeyReference key;
    NTSTATUS status = key.Resolve(KeyHandle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    cm::Registry& registry = cm::TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (key->Key()->deleted) {
        return STATUS_KEY_DELETED;
    }
    // Every change is written when it is made; only a change whose save failed is pending.
    return registry.Unsaved() ? registry.Save() : STATUS_SUCCESS;
}
