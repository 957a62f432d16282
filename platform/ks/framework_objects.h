// The framework's device, filter factory, filter and pin objects (platform-internal). Each
// holds the published structure the minidriver sees (KSDEVICE, KSFILTER, KSPIN) and the
// framework's own state around it.
#pragma once

#include "object_bag.h"
#include "reference_clock.h"

#include <ks.h>
#include <ntoskrnl/rtl/wide_string.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

namespace ks {

struct Filter;
struct Pin;

struct FilterFactory {
    struct Device* device = nullptr;
    const KSFILTER_DESCRIPTOR* descriptor = nullptr;
    rtl::WideString referenceString;
    ULONG createItemFlags = 0;
    std::vector<rtl::WideString> symbolicLinks;
};

struct Device {
    KSDEVICE ks{};
    ObjectBag bag;
    std::recursive_mutex acquireLock;  // KsAcquireDevice
    PDEVICE_OBJECT functionalDevice = nullptr;
    rtl::WideString instanceName;  // for symbolic links
    std::mutex factoriesLock;  // guards the factory list, never held across callbacks
    std::vector<std::unique_ptr<FilterFactory>> factories;
    std::mutex filtersLock;  // guards the filter list, never held across callbacks
    std::vector<Filter*> filters;  // open filter instances
    bool removed = false;
};

struct Filter {
    KSFILTER ks{};
    ObjectBag bag;
    Device* device = nullptr;
    FilterFactory* factory = nullptr;
    PFILE_OBJECT file = nullptr;
    // Serialises property requests, pin creation and pin state changes of this filter.
    std::recursive_mutex controlLock;
    std::vector<ULONG> pinCounts;  // instances per pin factory
    std::vector<Pin*> pins;
};

struct Pin {
    KSPIN ks{};
    ObjectBag bag;
    Filter* filter = nullptr;
    PFILE_OBJECT file = nullptr;
    std::vector<std::uint8_t> connectionFormat;
    KSSTATE clientState = KSSTATE_STOP;

    // Processing: one thread per pin runs the Process passes, one at a time.
    std::mutex processLock;
    std::condition_variable processWake;
    std::condition_variable processIdle;
    bool processRequested = false;
    bool inPass = false;
    bool processExit = false;
    std::thread processThread;

    // Client frames queued on the pin, oldest first, and the leading-edge stream pointer.
    std::mutex queueLock;
    std::deque<PIRP> frames;
    KSSTREAM_POINTER leadingEdge{};
    PIRP lockedFrame = nullptr;  // the frame behind the locked leading edge, if any
    NTSTATUS lockedFrameStatus = STATUS_SUCCESS;  // completes the locked frame at eject

    // The master clock, when the client gave one.
    std::mutex clockLock;
    ReferenceClock* clock = nullptr;
};

// The name a pin's create request carries before its KSPIN_CONNECT and format.
inline constexpr WCHAR kPinCreateName[] = L"{146F1A80-4791-11D0-A5D6-28DB04C10000}\\";

// The pin descriptor of a pin factory, honouring the filter's descriptor stride.
const KSPIN_DESCRIPTOR_EX* PinDescriptorAt(const KSFILTER_DESCRIPTOR* descriptor, ULONG pinId);

// What a file object's FsContext refers to.
struct FileContext {
    Filter* filter = nullptr;
    Pin* pin = nullptr;
};

// Lookups from the published structures to the framework objects; nullptr when unknown.
void RegisterObject(const void* published, Device* device);
void RegisterObject(const void* published, Filter* filter);
void RegisterObject(const void* published, Pin* pin);
void UnregisterObject(const void* published);
Device* DeviceOf(const void* published);
Filter* FilterOf(const void* published);
Pin* PinOf(const void* published);
Device* DeviceOfFunctionalDevice(PDEVICE_OBJECT functionalDevice);

// The minidriver's device descriptor, kept by KsInitializeDriver.
const KSDEVICE_DESCRIPTOR* DeviceDescriptorOf(PDRIVER_OBJECT driver);

// Pin life cycle (create_close.cpp, pin_state.cpp, processing.cpp, stream_queue.cpp).
void ClosePin(Pin* pin, PIRP irp);
void CloseFilter(Filter* filter, PIRP irp);
NTSTATUS ChangePinState(Pin* pin, KSSTATE target);
void StartProcessingThread(Pin* pin);
void StopProcessingThread(Pin* pin);
void WaitForProcessingIdle(Pin* pin);
NTSTATUS QueueFrame(Pin* pin, PIRP irp);
// Completes every queued frame that is not locked, unfilled, with `status`.
void ReturnQueuedFrames(Pin* pin, NTSTATUS status);
bool HasQueuedFrames(Pin* pin);

// Filter factories and their symbolic links (filter_factory.cpp).
void RemoveFactories(Device* device, bool onlyFreeOnStop);
// The functional device object behind a filter link, referenced, and the factory's reference
// string; nullptr when no factory has the link.
PDEVICE_OBJECT ReferenceDeviceForLink(const rtl::WideString& symbolicLink,
                                      rtl::WideString& referenceString);
FilterFactory* FactoryForReference(Device* device, const rtl::WideString& referenceString);
std::vector<rtl::WideString> LinksForCategory(const GUID& category);

// Property requests (property_dispatch.cpp, pin_properties.cpp).
NTSTATUS DispatchProperty(PIRP irp, FileContext* context);
bool HandleFrameworkProperty(PIRP irp, FileContext* context, const KSPROPERTY& property,
                             NTSTATUS& status);

// The lock that orders user-mode calls against device removal.
std::shared_mutex& DeviceLifetimeLock();

}  // namespace ks
