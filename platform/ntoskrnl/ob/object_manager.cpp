// Reference-counted objects, the kernel handle table and the Ob/Zw calls on them.
#include "ob/object_manager.h"

#include <ntoskrnl/host/verifier.h>

#include <mutex>
#include <unordered_map>

namespace ob {

_OBJECT_TYPE ThreadType{"Thread"};
_OBJECT_TYPE KeyType{"Key"};

namespace {

// Kernel handles have the top bit of their 32-bit value set.
constexpr ULONG_PTR kKernelHandleBit = 0x80000000u;

struct ObjectTable {
    std::mutex lock;
    std::unordered_map<void*, Object*> bodies;
    std::unordered_map<HANDLE, Object*> handles;
    ULONG_PTR nextHandle = 0;
};

ObjectTable& Table()
{
    static ObjectTable* table = new ObjectTable;  // lives until exit
    return *table;
}

}  // namespace

Object::Object(POBJECT_TYPE type, void* body) : type_(type), body_(body)
{
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    table.bodies[body_] = this;
}

Object::~Object()
{
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    table.bodies.erase(body_);
}

LONG_PTR Object::Reference()
{
    return ++references_;
}

LONG_PTR Object::Dereference()
{
    LONG_PTR remaining = --references_;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

Object* FromBody(void* body)
{
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.bodies.find(body);
    return found == table.bodies.end() ? nullptr : found->second;
}

HANDLE CreateHandle(Object* object)
{
    object->Reference();
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    table.nextHandle += 4;
    HANDLE handle = reinterpret_cast<HANDLE>(kKernelHandleBit | table.nextHandle);
    table.handles[handle] = object;
    return handle;
}

Object* ReferenceByHandle(HANDLE handle)
{
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    auto found = table.handles.find(handle);
    if (found == table.handles.end()) {
        return nullptr;
    }
    found->second->Reference();
    return found->second;
}

NTSTATUS CloseHandle(HANDLE handle)
{
    Object* object;
    {
        ObjectTable& table = Table();
        std::lock_guard<std::mutex> guard(table.lock);
        auto found = table.handles.find(handle);
        if (found == table.handles.end()) {
            return STATUS_INVALID_HANDLE;
        }
        object = found->second;
        table.handles.erase(found);
    }
    object->Dereference();
    return STATUS_SUCCESS;
}

std::size_t HandleCount()
{
    ObjectTable& table = Table();
    std::lock_guard<std::mutex> guard(table.lock);
    return table.handles.size();
}

}  // namespace ob

namespace {

ob::Object* ObjectFromBodyOrStop(PVOID Object)
{
    ob::Object* object = ob::FromBody(Object);
    if (object == nullptr) {
        vf::Stop(DRIVER_VERIFIER_DETECTED_VIOLATION, 0xF6, reinterpret_cast<ULONG_PTR>(Object), 0,
                 0, "object reference on an address that is not an object");
    }
    return object;
}

}  // namespace

extern "C" NTSTATUS NTAPI ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                    POBJECT_TYPE ObjectType,
                                                    KPROCESSOR_MODE AccessMode, PVOID* Object,
                                                    POBJECT_HANDLE_INFORMATION HandleInformation)
{
    UNREFERENCED_PARAMETER(AccessMode);
    ob::Object* object = ob::ReferenceByHandle(Handle);
    if (object == nullptr) {
        *Object = nullptr;
        return STATUS_INVALID_HANDLE;
    }
    if (ObjectType != nullptr && object->Type() != ObjectType) {
        object->Dereference();
        *Object = nullptr;
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    if (HandleInformation != nullptr) {
        HandleInformation->HandleAttributes = OBJ_KERNEL_HANDLE;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    *Object = object->Body();
    return STATUS_SUCCESS;
}

extern "C" LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    return ObjectFromBodyOrStop(Object)->Reference();
}

extern "C" LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    return ObjectFromBodyOrStop(Object)->Dereference();
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    return ob::CloseHandle(Handle);
}

namespace vf {

std::size_t OpenHandleCount()
{
    return ob::HandleCount();
}

}  // namespace vf
