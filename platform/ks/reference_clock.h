// The framework's default reference clock: monotonic time in 100 ns units, counted
// references (platform-internal).
#pragma once

#include <ks.h>

#include <atomic>

namespace ks {

class ReferenceClock final : public IKsReferenceClock {
public:
    ReferenceClock();
    ReferenceClock(const ReferenceClock&) = delete;
    ReferenceClock& operator=(const ReferenceClock&) = delete;

    NTSTATUS STDMETHODCALLTYPE QueryInterface(REFIID InterfaceId, PVOID* Interface) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    LONGLONG STDMETHODCALLTYPE GetTime() override;
    LONGLONG STDMETHODCALLTYPE GetPhysicalTime() override;
    LONGLONG STDMETHODCALLTYPE GetCorrelatedTime(LONGLONG* SystemTime) override;
    LONGLONG STDMETHODCALLTYPE GetCorrelatedPhysicalTime(LONGLONG* SystemTime) override;
    NTSTATUS STDMETHODCALLTYPE GetResolution(PVOID Resolution) override;
    NTSTATUS STDMETHODCALLTYPE GetState(KSSTATE* State) override;

private:
    virtual ~ReferenceClock() = default;

    std::atomic<ULONG> references_{1};
    LONGLONG start_;
};

}  // namespace ks

#include <ntoskrnl/ob/object_manager.h>

namespace ks {

// A clock object that applications hold a handle to and give to pins.
extern _OBJECT_TYPE ClockObjectType;

class ClockObject final : public ob::Object {
public:
    ClockObject();
    ~ClockObject() override;
    ReferenceClock* Clock() const { return clock_; }

private:
    ReferenceClock* clock_;
};

// The clock behind a clock handle, with a new reference; nullptr for any other handle.
ReferenceClock* ReferenceClockByHandle(HANDLE handle);

}  // namespace ks
