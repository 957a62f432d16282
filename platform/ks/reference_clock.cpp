// The default reference clock and KsPinGetReferenceClockInterface.
#include "reference_clock.h"

#include "framework_objects.h"

namespace ks {

ReferenceClock::ReferenceClock() : start_(static_cast<LONGLONG>(KeQueryInterruptTime())) {}

NTSTATUS ReferenceClock::QueryInterface(REFIID, PVOID* Interface)
{
    AddRef();
    *Interface = static_cast<IKsReferenceClock*>(this);
    return STATUS_SUCCESS;
}

ULONG ReferenceClock::AddRef()
{
    return ++references_;
}

ULONG ReferenceClock::Release()
{
    ULONG remaining = --references_;
    if (remaining == 0) {
        delete this;
    }
    return remaining;
}

LONGLONG ReferenceClock::GetTime()
{
    return static_cast<LONGLONG>(KeQueryInterruptTime()) - start_;
}

LONGLONG ReferenceClock::GetPhysicalTime()
{
    return GetTime();
}

LONGLONG ReferenceClock::GetCorrelatedTime(LONGLONG* SystemTime)
{
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    *SystemTime = now.QuadPart;
    return GetTime();
}

LONGLONG ReferenceClock::GetCorrelatedPhysicalTime(LONGLONG* SystemTime)
{
    return GetCorrelatedTime(SystemTime);
}

NTSTATUS ReferenceClock::GetResolution(PVOID Resolution)
{
    // KSRESOLUTION: Granularity and Error, both in 100 ns units.
    auto* resolution = static_cast<LONGLONG*>(Resolution);
    resolution[0] = 1;
    resolution[1] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS ReferenceClock::GetState(KSSTATE* State)
{
    *State = KSSTATE_RUN;
    return STATUS_SUCCESS;
}

}  // namespace ks

extern "C" NTSTATUS NTAPI KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface)
{
    ks::Pin* pin = ks::PinOf(Pin);
    if (pin == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(pin->clockLock);
    if (pin->clock == nullptr) {
        *Interface = nullptr;
        return STATUS_DEVICE_NOT_READY;
    }
    pin->clock->AddRef();
    *Interface = pin->clock;
    return STATUS_SUCCESS;
}

namespace ks {

_OBJECT_TYPE ClockObjectType{"KsClock"};

ClockObject::ClockObject() : ob::Object(&ClockObjectType, this), clock_(new ReferenceClock) {}

ClockObject::~ClockObject()
{
    clock_->Release();
}

ReferenceClock* ReferenceClockByHandle(HANDLE handle)
{
    ob::Object* object = ob::ReferenceByHandle(handle);
    if (object == nullptr) {
        return nullptr;
    }
    ReferenceClock* clock = nullptr;
    if (object->Type() == &ClockObjectType) {
        clock = static_cast<ClockObject*>(object)->Clock();
        clock->AddRef();
    }
    object->Dereference();
    return clock;
}

}  // namespace ks
