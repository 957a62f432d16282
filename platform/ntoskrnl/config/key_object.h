// Key objects: what a registry key handle refers to (platform-internal).
#pragma once

#include "config/hive.h"
#include "ob/object_manager.h"

#include <memory>

namespace cm {

// One open of a key: the key and the access granted to the handle. Every open makes its own
// object, so that two handles to one key can carry different access.
class KeyObject final : public ob::Object {
public:
    KeyObject(std::shared_ptr<KeyNode> key, ACCESS_MASK grantedAccess);

    // The key; read and change it only under the registry lock.
    const std::shared_ptr<KeyNode>& Key() const { return key_; }
    bool Grants(ACCESS_MASK access) const { return (grantedAccess_ & access) == access; }

private:
    std::shared_ptr<KeyNode> key_;
    ACCESS_MASK grantedAccess_;
};

// Generic rights and MAXIMUM_ALLOWED mapped to the key rights.
ACCESS_MASK MapKeyAccess(ACCESS_MASK desiredAccess);

// Opens a handle to `key` with the mapped access.
void InsertKeyHandle(std::shared_ptr<KeyNode> key, ACCESS_MASK desiredAccess, PHANDLE handle);

// A counted reference to the key object behind a handle, dropped at the end of the scope.
class KeyReference {
public:
    KeyReference() = default;
    ~KeyReference();
    KeyReference(const KeyReference&) = delete;
    KeyReference& operator=(const KeyReference&) = delete;

    // STATUS_INVALID_HANDLE for an unknown handle, STATUS_OBJECT_TYPE_MISMATCH for a handle to
    // something other than a key.
    NTSTATUS Resolve(HANDLE handle);
    // Resolve, then STATUS_ACCESS_DENIED when the handle lacks `access`.
    NTSTATUS Resolve(HANDLE handle, ACCESS_MASK access);

    KeyObject* operator->() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

private:
    KeyObject* object_ = nullptr;
};

}  // namespace cm
