// Allocation of the driver's C++ objects from the pool: zero-filled, null when exhausted.
#include "device/pool_new.h"

void* operator new(size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    void* memory = ExAllocatePoolWithTag(poolType, size, tag);
    if (memory != nullptr) {
        RtlZeroMemory(memory, size);
    }
    return memory;
}

void* operator new[](size_t size, POOL_TYPE poolType, ULONG tag) noexcept
{
    return operator new(size, poolType, tag);
}

void operator delete(void* memory, POOL_TYPE, ULONG tag) noexcept
{
    if (memory != nullptr) {
        ExFreePoolWithTag(memory, tag);
    }
}

void operator delete[](void* memory, POOL_TYPE poolType, ULONG tag) noexcept
{
    operator delete(memory, poolType, tag);
}
