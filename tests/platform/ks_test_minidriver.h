// A tiny streaming minidriver for the framework tests: one filter factory under the video and
// capture categories, one video output pin, a private property set, and a Process routine that
// fills client frames with a known pattern. Everything the framework calls is recorded in a
// process-wide observation record that each test resets, and a few switches make the driver
// misbehave on purpose for the verifier tests.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#include <cstdint>
#include <functional>
#include <vector>

namespace kstest {

inline constexpr wchar_t ServiceName[] = L"kstestminidriver";
inline constexpr wchar_t HardwareId[] = L"ROOT\\KSTEST_MINIDRIVER";

// The driver's private property set and its items.
inline constexpr GUID PropertySetId = {
    0x5D0B1E73, 0x2C41, 0x4F8A, {0x9E, 0x07, 0x61, 0x3B, 0xC4, 0x88, 0x12, 0xD5}};
enum PropertyId : ULONG {
    PropertyValue = 0,       // get and set, one ULONG
    PropertyGetOnly = 1,     // get only: the number of set requests the device has taken
    PropertySetOnly = 2,     // set only, one ULONG
    PropertyIndexed = 3,     // get and set of a slot chosen by an index behind the header
    PropertyNotInTable = 9,  // an id the set does not have
};
inline constexpr ULONG IndexedSlots = 4;
// What follows the KSPROPERTY header of a PropertyIndexed request.
struct IndexedRequest {
    ULONG Index;
    ULONG Reserved;
};
// The data of a PropertyIndexed request.
struct IndexedData {
    ULONG Index;
    ULONG Value;
    ULONG Reserved[2];
};
inline constexpr ULONG IndexedMinProperty = sizeof(KSPROPERTY) + sizeof(IndexedRequest);
inline constexpr ULONG IndexedMinData = sizeof(IndexedData);

// The pin's one format: 32-bit RGB frames of FrameWidth x FrameHeight.
inline constexpr LONG FrameWidth = 64;
inline constexpr LONG FrameHeight = 48;
inline constexpr ULONG FrameBytes = FrameWidth * FrameHeight * 4;
inline constexpr LONGLONG FrameDuration = 333333;
inline constexpr ULONG DefaultPinFlags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING |
                                         KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
                                         KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;

KS_DATARANGE_VIDEO VideoRange();
// The format the intersect handler builds from VideoRange().
KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat();
// The byte Process writes at `offset` of the frame with serial number `serial` (1 for the first
// frame delivered since the last reset).
std::uint8_t PatternByte(ULONG serial, ULONG offset);

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

// What the driver does; changeable while the device runs.
struct Config {
    ULONG pinFlags = DefaultPinFlags;  // read when the pin descriptor is handed out (at Start)
    // A SetDeviceState step (to, from) that fails with failStatus.
    bool failStep = false;
    KSSTATE failTo = KSSTATE_STOP;
    KSSTATE failFrom = KSSTATE_STOP;
    NTSTATUS failStatus = STATUS_UNSUCCESSFUL;
    ULONG processDelayMs = 0;  // each Process pass waits this long before it returns
    // Filter Create also adds two items to the filter's bag, discards one of them at once, and
    // has _KsEdit grow a shared 8-byte table into a private 16-byte copy.
    bool exerciseFilterBag = false;
    // Verifier provocations.
    bool filterCreateRaisesIrql = false;    // returns at DISPATCH_LEVEL
    ULONG filterCreateDelayMs = 0;          // to overrun the callback budget
    bool leaveStreamPointerLocked = false;  // Process does not unlock the frame it took
    // Run inside the driver's callbacks, for tests of what may happen meanwhile.
    std::function<void()> onSurpriseRemoval;
    std::function<void()> onPinClose;
};

struct StateStep {
    KSSTATE to;
    KSSTATE from;
    KSSTATE deviceStateDuringCall;  // KSPIN DeviceState as the callback saw it
    bool operator==(const StateStep&) const = default;
};

// Counters and last-seen values; counters are safe to read at any time.
struct Counters {
    int driverEntries = 0;
    int deviceAdds = 0;
    int deviceStarts = 0;
    int deviceContextReleases = 0;
    int filterCreates = 0;
    int filterCloses = 0;
    int filterContextReleases = 0;
    int filterCreatesWithoutDevice = 0;  // KsGetDevice(filter) did not give the added device
    int bagItemReleases = 0;             // release routine of the exerciseFilterBag items
    int bagEditsVerified = 0;            // _KsEdit copied, zero-filled and kept its copy
    int pinCreates = 0;
    int pinCloses = 0;
    int pinContextReleases = 0;
    int pinDescriptorsEdited = 0;  // _KsEdit gave the pin a private, writable descriptor
    int setDataFormatCalls = 0;
    int setDataFormatWithOldFormat = 0;  // calls for a format change on an existing pin
    int intersectCalls = 0;
    int getHandlerCalls = 0;
    int setHandlerCalls = 0;
    int handlerDeviceMismatches = 0;  // KsGetDevice(KsGetFilterFromIrp) was not the device
    int processPasses = 0;
    int passesOutsideRun = 0;
    int passesWithoutFrame = 0;
    int overlappingPasses = 0;
    int framesDelivered = 0;
    int clockFailures = 0;   // KsPinGetReferenceClockInterface failed in a pass
    int clockSuccesses = 0;  // ... or gave an interface
};

Counters Observed();
std::vector<StateStep> StateSteps();
// The filter that the last filter Create saw, and the one a property handler found from its IRP.
PKSFILTER LastCreatedFilter();
PKSFILTER LastHandlerFilter();
PIRP LastHandlerIrp();
// The KSPROPERTY header and flags the last handler received.
KSPROPERTY LastHandlerRequest();

// Forgets everything observed and installs the configuration.
void Reset(const Config& config = Config());
void SetConfig(const Config& config);
Config CurrentConfig();

// Test hook: asks the framework for a Process pass of the open pin (KsPinAttemptProcessing,
// asynchronous), as a driver does when it has new data. False when no pin is open.
bool RequestProcessing();
// Waits (up to timeoutMs) until the condition on the counters holds; true when it did.
bool WaitUntil(const std::function<bool(const Counters&)>& condition, unsigned timeoutMs = 5000);

}  // namespace kstest
