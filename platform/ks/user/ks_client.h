// A thin C++ layer over the user-mode streaming calls, for tests and tools. Handles close on
// destruction; failures come back as NTSTATUS values, never as exceptions.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#include "ksuser.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ksclient {

// An owned handle from the user-mode calls.
class Handle {
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : handle_(handle) {}
    ~Handle() { Close(); }
    Handle(Handle&& other) noexcept : handle_(other.Release()) {}
    Handle& operator=(Handle&& other) noexcept;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    HANDLE Release();
    NTSTATUS Close();

private:
    HANDLE handle_ = nullptr;
};

// Result of a property request: the status and the bytes the request reported.
struct PropertyResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG bytesReturned = 0;
};

// Property requests on a filter or pin handle.
PropertyResult GetProperty(HANDLE object, const GUID& set, ULONG id, void* data, ULONG size,
                           const void* extra = nullptr, ULONG extraSize = 0);
PropertyResult SetProperty(HANDLE object, const GUID& set, ULONG id, const void* data, ULONG size,
                           const void* extra = nullptr, ULONG extraSize = 0);
// Any flags and any header size: for tests of malformed requests.
PropertyResult PropertyRequest(HANDLE object, const GUID& set, ULONG id, ULONG flags,
                               const void* extraProperty, ULONG propertySize, void* data,
                               ULONG size);

class Pin;

class Filter {
public:
    // Opens the first filter under the category; an empty filter when there is none.
    static NTSTATUS OpenFirst(const GUID& category, Filter& filter);
    static NTSTATUS Open(const rtl::WideString& symbolicLink, Filter& filter);

    HANDLE Get() const { return handle_.Get(); }
    explicit operator bool() const { return static_cast<bool>(handle_); }
    NTSTATUS Close() { return handle_.Close(); }

    // KSPROPERTY_PIN_CTYPES, KSPROPERTY_PIN_CINSTANCES.
    NTSTATUS PinTypeCount(ULONG& count) const;
    NTSTATUS PinInstances(ULONG pinId, KSPIN_CINSTANCES& instances) const;
    // KSPROPERTY_PIN_DATARANGES: the pin's data ranges, each as its bytes.
    NTSTATUS DataRanges(ULONG pinId, std::vector<std::vector<std::uint8_t>>& ranges) const;
    // KSPROPERTY_PIN_DATAINTERSECTION with one range: the size query, then the format.
    NTSTATUS Intersect(ULONG pinId, const void* range, ULONG rangeSize,
                       std::vector<std::uint8_t>& format) const;
    // Creates a pin with the format (KSDATAFORMAT and its tail).
    NTSTATUS CreatePin(ULONG pinId, const void* format, ULONG formatSize, Pin& pin) const;

private:
    Handle handle_;
};

class Pin {
public:
    HANDLE Get() const { return handle_.Get(); }
    explicit operator bool() const { return static_cast<bool>(handle_); }
    NTSTATUS Close() { return handle_.Close(); }
    void Reset(HANDLE handle) { handle_ = Handle(handle); }

    NTSTATUS SetState(KSSTATE state) const;
    NTSTATUS GetState(KSSTATE& state) const;
    // Gives the pin a master clock (a default clock object), or removes it with nullptr.
    NTSTATUS SetMasterClock(HANDLE clock) const;
    // Queues one frame of `buffer` and waits for it; the header comes back filled.
    NTSTATUS ReadFrame(std::vector<std::uint8_t>& buffer, KSSTREAM_HEADER& header,
                       ULONG timeoutMs) const;
    // The same with the video frame information that follows the header (KS_FRAME_INFO); a
    // pin that does not write it leaves it zero.
    NTSTATUS ReadFrame(std::vector<std::uint8_t>& buffer, KSSTREAM_HEADER& header,
                       KS_FRAME_INFO& frameInfo, ULONG timeoutMs) const;

private:
    Handle handle_;
};

}  // namespace ksclient
