// Allocation of the driver's C++ objects from the pool. Objects are created with
//   new (NonPagedPool, tag) T(...)
// which returns null (without running the constructor) when the pool is exhausted and hands
// out zero-filled memory, and destroyed with PoolDelete(object, tag) under the same tag.
#pragma once

#include <wdm.h>

// Defined once, in general-register code (pool_new.cpp): as inline functions they would be
// compiled into imaging objects too, and the linker could keep the vector-register copy for
// every caller.
void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept;
void* operator new[](size_t size, POOL_TYPE poolType, ULONG tag) noexcept;

// Matching placement deletes; only called if a constructor were to throw, which driver code
// never does.
void operator delete(void* memory, POOL_TYPE poolType, ULONG tag) noexcept;
void operator delete[](void* memory, POOL_TYPE poolType, ULONG tag) noexcept;

// Runs the destructor, then returns the memory under the tag it was allocated with.
template <typename T>
inline void PoolDelete(T* object, ULONG tag)
{
    if (object != nullptr) {
        object->~T();
        ExFreePoolWithTag(object, tag);
    }
}

// A pool tag from its four characters in memory order: PoolTag("KCNw").
constexpr ULONG PoolTag(const char (&text)[5])
{
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}
