// Reference-counted kernel objects and the kernel handle table (platform-internal).
#pragma once

#include <wdm.h>

#include <atomic>
#include <cstddef>

// Object types; the definition is the platform's own.
struct _OBJECT_TYPE {
    const char* Name;
};

namespace ob {

extern _OBJECT_TYPE ThreadType;
extern _OBJECT_TYPE KeyType;

// Base of every object reachable through a handle or a referenced pointer. The body is the
// address drivers see (for a thread, its KTHREAD). The object is deleted when the last
// reference goes.
class Object {
public:
    Object(POBJECT_TYPE type, void* body);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    POBJECT_TYPE Type() const { return type_; }
    void* Body() const { return body_; }
    LONG_PTR Reference();
    LONG_PTR Dereference();

private:
    POBJECT_TYPE type_;
    void* body_;
    std::atomic<LONG_PTR> references_{1};
};

// Finds the object whose body is at `body`; nullptr when there is none.
Object* FromBody(void* body);
// Inserts a handle for `object`, taking a new reference.
HANDLE CreateHandle(Object* object);
// Returns the object with a new reference, or nullptr for an unknown handle.
Object* ReferenceByHandle(HANDLE handle);
// Closes the handle and drops its reference.
NTSTATUS CloseHandle(HANDLE handle);
std::size_t HandleCount();

}  // namespace ob
