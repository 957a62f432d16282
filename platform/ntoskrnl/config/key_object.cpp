// Key objects and their handles.
#include "config/key_object.h"

namespace cm {

KeyObject::KeyObject(std::shared_ptr<KeyNode> key, ACCESS_MASK grantedAccess)
    : ob::Object(&ob::KeyType, this), key_(std::move(key)), grantedAccess_(grantedAccess)
{
}

ACCESS_MASK MapKeyAccess(ACCESS_MASK desiredAccess)
{
    ACCESS_MASK access = desiredAccess & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE |
                                           GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desiredAccess & GENERIC_READ) {
        access |= KEY_READ;
    }
    if (desiredAccess & GENERIC_WRITE) {
        access |= KEY_WRITE;
    }
    if (desiredAccess & GENERIC_EXECUTE) {
        access |= KEY_EXECUTE;
    }
    if (desiredAccess & (GENERIC_ALL | MAXIMUM_ALLOWED)) {
        access |= KEY_ALL_ACCESS;
    }
    return access;
}

void InsertKeyHandle(std::shared_ptr<KeyNode> key, ACCESS_MASK desiredAccess, PHANDLE handle)
{
    auto* object = new KeyObject(std::move(key), MapKeyAccess(desiredAccess));
    *handle = ob::CreateHandle(object);
    object->Dereference();  // the handle holds the object now
}

KeyReference::~KeyReference()
{
    if (object_ != nullptr) {
        object_->Dereference();
    }
}

NTSTATUS KeyReference::Resolve(HANDLE handle)
{
    ob::Object* object = ob::ReferenceByHandle(handle);
    if (object == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (object->Type() != &ob::KeyType) {
        object->Dereference();
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    object_ = static_cast<KeyObject*>(object);
    return STATUS_SUCCESS;
}

NTSTATUS KeyReference::Resolve(HANDLE handle, ACCESS_MASK access)
{
    const NTSTATUS status = Resolve(handle);
    if (NT_SUCCESS(status) && !object_->Grants(access)) {
        return STATUS_ACCESS_DENIED;
    }
    return status;
}

}  // namespace cm
