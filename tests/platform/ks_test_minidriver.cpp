// The framework tests' minidriver: descriptor tables, dispatch routines, property handlers and the
// Process routine, each recording what the framework handed it.
#include "ks_test_minidriver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <shared_mutex>

namespace kstest {

namespace {

constexpr ULONG MakeTag(const char (&text)[5])
{
    return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}

constexpr ULONG DeviceTag = MakeTag("KtDv");
constexpr ULONG FilterTag = MakeTag("KtFl");
constexpr ULONG PinTag = MakeTag("KtPn");
constexpr ULONG EditTag = MakeTag("KtEd");
constexpr ULONG BagTag = MakeTag("KtBg");

constexpr ULONG DeviceMagic = 0x44455631;  // "DEV1"
constexpr ULONG FilterMagic = 0x46494C31;  // "FIL1"

struct DeviceContext {
    ULONG magic;
    ULONG value;
    ULONG setRequests;
    ULONG slots[IndexedSlots];
};

struct FilterContext {
    ULONG magic;
    PKSDEVICE device;
};

struct PinContext {
    PKSPIN pin;
};

// The observation record shared by the driver's callbacks and the tests.
struct Observation {
    std::mutex lock;
    std::condition_variable changed;
    Config config;
    Counters counters;
    std::vector<StateStep> steps;
    PKSDEVICE device = nullptr;
    PKSFILTER lastCreatedFilter = nullptr;
    PKSFILTER lastHandlerFilter = nullptr;
    PIRP lastHandlerIrp = nullptr;
    KSPROPERTY lastHandlerRequest{};
};

// The open pin, for the processing hook. A lock of its own: the hook calls into the framework
// while holding it, and the framework's processing thread must never wait for it. Requests
// share it, so that concurrent requests reach the framework concurrently; Create and Close
// take it alone.
std::shared_mutex g_pinLock;
PKSPIN g_openPin = nullptr;

Observation& State()
{
    static Observation observation;
    return observation;
}

std::atomic<bool> g_inPass{false};

// Runs `change` on the counters under the lock and wakes waiters.
template <typename Change>
void Record(Change change)
{
    Observation& state = State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        change(state);
    }
    state.changed.notify_all();
}

Config ConfigNow()
{
    Observation& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return state.config;
}

void DelayMs(ULONG milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

KS_VIDEOINFOHEADER VideoInfo()
{
    KS_VIDEOINFOHEADER info{};
    info.rcSource = {0, 0, FrameWidth, FrameHeight};
    info.dwBitRate = FrameBytes * 8 * 30;
    info.AvgTimePerFrame = FrameDuration;
    info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    info.bmiHeader.biWidth = FrameWidth;
    info.bmiHeader.biHeight = FrameHeight;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = KS_BI_RGB;
    info.bmiHeader.biSizeImage = FrameBytes;
    return info;
}

void FillDataFormat(KSDATAFORMAT& format, ULONG size)
{
    format.FormatSize = size;
    format.Flags = 0;
    format.SampleSize = FrameBytes;
    format.Reserved = 0;
    format.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_RGB32;
    format.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
}

// ---------------------------------------------------------------------------------------------
// Bag release routines

void NTAPI FreeDeviceContext(PVOID item)
{
    Record([](Observation& s) { s.counters.deviceContextReleases++; });
    ExFreePoolWithTag(item, DeviceTag);
}

void NTAPI FreeFilterContext(PVOID item)
{
    Record([](Observation& s) { s.counters.filterContextReleases++; });
    ExFreePoolWithTag(item, FilterTag);
}

void NTAPI FreeBagItem(PVOID item)
{
    Record([](Observation& s) { s.counters.bagItemReleases++; });
    ExFreePoolWithTag(item, BagTag);
}

void NTAPI FreePinContext(PVOID item)
{
    Record([](Observation& s) { s.counters.pinContextReleases++; });
    ExFreePoolWithTag(item, PinTag);
}

// ---------------------------------------------------------------------------------------------
// Device

extern const KSFILTER_DESCRIPTOR FilterDescriptor;

NTSTATUS NTAPI DeviceAdd(PKSDEVICE device)
{
    auto* context = static_cast<DeviceContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceContext), DeviceTag));
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(context, sizeof(*context));
    context->magic = DeviceMagic;
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, context, FreeDeviceContext);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, DeviceTag);
        return status;
    }
    device->Context = context;
    Record([device](Observation& s) {
        s.counters.deviceAdds++;
        s.device = device;
    });
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    static WCHAR referenceString[] = L"GLOBAL";
    Record([](Observation& s) { s.counters.deviceStarts++; });
    return KsCreateFilterFactory(device->FunctionalDeviceObject, &FilterDescriptor, referenceString,
                                 nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
}

void NTAPI DeviceSurpriseRemoval(PKSDEVICE, PIRP)
{
    Config config = ConfigNow();
    if (config.onSurpriseRemoval) {
        config.onSurpriseRemoval();
    }
}

const KSDEVICE_DISPATCH DeviceDispatch = {
    DeviceAdd, DeviceStart, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr,   nullptr,     nullptr, DeviceSurpriseRemoval, nullptr, nullptr, nullptr,
};

const KSDEVICE_DESCRIPTOR DeviceDescriptor = {&DeviceDispatch, 0, nullptr, 0};

// ---------------------------------------------------------------------------------------------
// Filter

// Adds, discards and edits items of the filter's bag; the release counts tell the test what the
// framework did with them.
NTSTATUS ExerciseBag(PKSFILTER filter)
{
    PVOID kept = ExAllocatePoolWithTag(NonPagedPool, 16, BagTag);
    PVOID discarded = ExAllocatePoolWithTag(NonPagedPool, 16, BagTag);
    if (kept == nullptr || discarded == nullptr) {
        if (kept != nullptr) {
            ExFreePoolWithTag(kept, BagTag);
        }
        if (discarded != nullptr) {
            ExFreePoolWithTag(discarded, BagTag);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, kept, FreeBagItem);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(kept, BagTag);
        ExFreePoolWithTag(discarded, BagTag);
        return status;
    }
    status = KsAddItemToObjectBag(filter->Bag, discarded, FreeBagItem);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(discarded, BagTag);
        return status;
    }
    KsRemoveItemFromObjectBag(filter->Bag, discarded, TRUE);  // released now, never again

    static const ULONG sharedTable[2] = {0x11111111, 0x22222222};
    const ULONG* table = sharedTable;
    status = _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<ULONG**>(&table)),
                     4 * sizeof(ULONG), 2 * sizeof(ULONG), EditTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool verified = table != sharedTable && table[0] == 0x11111111 && table[1] == 0x22222222 &&
                    table[2] == 0 && table[3] == 0;
    // Editing a private copy that is already large enough keeps it.
    const ULONG* again = table;
    status = _KsEdit(filter->Bag, reinterpret_cast<PVOID*>(const_cast<ULONG**>(&again)),
                     4 * sizeof(ULONG), 4 * sizeof(ULONG), EditTag);
    verified = verified && NT_SUCCESS(status) && again == table;
    Record([verified](Observation& s) { s.counters.bagEditsVerified += verified ? 1 : 0; });
    return status;
}

NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP)
{
    Config config = ConfigNow();
    PKSDEVICE device = KsGetDevice(filter);
    auto* context = static_cast<FilterContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), FilterTag));
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->magic = FilterMagic;
    context->device = device;
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, context, FreeFilterContext);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, FilterTag);
        return status;
    }
    filter->Context = context;
    Record([filter, device](Observation& s) {
        s.counters.filterCreates++;
        if (device == nullptr || device != s.device || device->Context == nullptr ||
            static_cast<DeviceContext*>(device->Context)->magic != DeviceMagic) {
            s.counters.filterCreatesWithoutDevice++;
        }
        s.lastCreatedFilter = filter;
    });

    if (config.exerciseFilterBag) {
        NTSTATUS bagStatus = ExerciseBag(filter);
        if (!NT_SUCCESS(bagStatus)) {
            return bagStatus;
        }
    }
    if (config.filterCreateDelayMs != 0) {
        DelayMs(config.filterCreateDelayMs);
    }
    if (config.filterCreateRaisesIrql) {
        KfRaiseIrql(DISPATCH_LEVEL);  // and never lowered: the verifier must notice
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FilterClose(PKSFILTER, PIRP)
{
    Record([](Observation& s) { s.counters.filterCloses++; });
    return STATUS_SUCCESS;
}

const KSFILTER_DISPATCH FilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

// ---------------------------------------------------------------------------------------------
// Property handlers: each reaches the device through the filter found from its IRP.

DeviceContext* ContextFromIrp(PIRP irp, PKSIDENTIFIER request)
{
    PKSFILTER filter = irp != nullptr ? KsGetFilterFromIrp(irp) : nullptr;
    PKSDEVICE device = filter != nullptr ? KsGetDevice(filter) : nullptr;
    Record([=](Observation& s) {
        s.lastHandlerFilter = filter;
        s.lastHandlerIrp = irp;
        if (request != nullptr) {
            s.lastHandlerRequest = *request;
        }
        if (device == nullptr || device != s.device) {
            s.counters.handlerDeviceMismatches++;
        }
    });
    if (device == nullptr || device->Context == nullptr) {
        return nullptr;
    }
    auto* context = static_cast<DeviceContext*>(device->Context);
    return context->magic == DeviceMagic ? context : nullptr;
}

NTSTATUS NTAPI GetValue(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    Record([](Observation& s) { s.counters.getHandlerCalls++; });
    DeviceContext* context = ContextFromIrp(irp, request);
    if (context == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG value = request->Id == PropertyGetOnly ? context->setRequests : context->value;
    std::memcpy(data, &value, sizeof(value));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetValue(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    Record([](Observation& s) { s.counters.setHandlerCalls++; });
    DeviceContext* context = ContextFromIrp(irp, request);
    if (context == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    std::memcpy(&context->value, data, sizeof(ULONG));
    context->setRequests++;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetIndexed(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    Record([](Observation& s) { s.counters.getHandlerCalls++; });
    DeviceContext* context = ContextFromIrp(irp, request);
    if (context == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    IndexedRequest index;
    std::memcpy(&index, reinterpret_cast<PUCHAR>(request) + sizeof(KSPROPERTY), sizeof(index));
    if (index.Index >= IndexedSlots) {
        return STATUS_INVALID_PARAMETER;
    }
    IndexedData answer{index.Index, context->slots[index.Index], {0, 0}};
    std::memcpy(data, &answer, sizeof(answer));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetIndexed(PIRP irp, PKSIDENTIFIER request, PVOID data)
{
    Record([](Observation& s) { s.counters.setHandlerCalls++; });
    DeviceContext* context = ContextFromIrp(irp, request);
    if (context == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    IndexedRequest index;
    std::memcpy(&index, reinterpret_cast<PUCHAR>(request) + sizeof(KSPROPERTY), sizeof(index));
    if (index.Index >= IndexedSlots) {
        return STATUS_INVALID_PARAMETER;
    }
    IndexedData given;
    std::memcpy(&given, data, sizeof(given));
    context->slots[index.Index] = given.Value;
    context->setRequests++;
    return STATUS_SUCCESS;
}

KSPROPERTY_ITEM PropertyItem(ULONG id, PFNKSHANDLER get, ULONG minProperty, ULONG minData,
                             PFNKSHANDLER set)
{
    KSPROPERTY_ITEM item{};
    item.PropertyId = id;
    item.GetPropertyHandler = get;
    item.MinProperty = minProperty;
    item.MinData = minData;
    item.SetPropertyHandler = set;
    return item;
}

const KSPROPERTY_ITEM PropertyItems[] = {
    PropertyItem(PropertyValue, GetValue, sizeof(KSPROPERTY), sizeof(ULONG), SetValue),
    PropertyItem(PropertyGetOnly, GetValue, sizeof(KSPROPERTY), sizeof(ULONG), nullptr),
    PropertyItem(PropertySetOnly, nullptr, sizeof(KSPROPERTY), sizeof(ULONG), SetValue),
    PropertyItem(PropertyIndexed, GetIndexed, IndexedMinProperty, IndexedMinData, SetIndexed),
};

const KSPROPERTY_SET PropertySets[] = {
    {&PropertySetId, sizeof(PropertyItems) / sizeof(PropertyItems[0]), PropertyItems, 0, nullptr},
};

KSAUTOMATION_TABLE MakeFilterAutomation()
{
    KSAUTOMATION_TABLE table{};
    table.PropertySetsCount = 1;
    table.PropertyItemSize = sizeof(KSPROPERTY_ITEM);
    table.PropertySets = PropertySets;
    return table;
}

const KSAUTOMATION_TABLE FilterAutomation = MakeFilterAutomation();

// ---------------------------------------------------------------------------------------------
// Pin

NTSTATUS NTAPI PinCreate(PKSPIN pin, PIRP)
{
    auto* context =
        static_cast<PinContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(PinContext), PinTag));
    if (context == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->pin = pin;
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, context, FreePinContext);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(context, PinTag);
        return status;
    }
    pin->Context = context;

    // A private copy of the descriptor, owned by the pin's bag; writing it must not reach the
    // shared table.
    const KSPIN_DESCRIPTOR_EX* shared = pin->Descriptor;
    status = _KsEdit(pin->Bag,
                     reinterpret_cast<PVOID*>(const_cast<PKSPIN_DESCRIPTOR_EX*>(&pin->Descriptor)),
                     sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), EditTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    bool edited = pin->Descriptor != shared && pin->Descriptor->Flags == shared->Flags;
    if (edited) {
        const_cast<PKSPIN_DESCRIPTOR_EX>(pin->Descriptor)->InstancesNecessary = 0;
        edited = shared->InstancesNecessary == 1;
    }
    Record([edited](Observation& s) {
        s.counters.pinCreates++;
        s.counters.pinDescriptorsEdited += edited ? 1 : 0;
    });
    std::unique_lock<std::shared_mutex> guard(g_pinLock);
    g_openPin = pin;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinClose(PKSPIN pin, PIRP)
{
    Config config = ConfigNow();
    if (config.onPinClose) {
        config.onPinClose();
    }
    Record([](Observation& s) { s.counters.pinCloses++; });
    std::unique_lock<std::shared_mutex> guard(g_pinLock);
    if (g_openPin == pin) {
        g_openPin = nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                                const KSDATARANGE* range, const KSATTRIBUTE_LIST*)
{
    Record([oldFormat](Observation& s) {
        s.counters.setDataFormatCalls++;
        s.counters.setDataFormatWithOldFormat += oldFormat != nullptr ? 1 : 0;
    });
    const KSDATAFORMAT* format = pin->ConnectionFormat;
    if (format == nullptr || range == nullptr ||
        format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) ||
        !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        return STATUS_NO_MATCH;
    }
    const auto* video = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
    const auto* offered = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
    const KS_BITMAPINFOHEADER& asked = video->VideoInfoHeader.bmiHeader;
    const KS_BITMAPINFOHEADER& own = offered->VideoInfoHeader.bmiHeader;
    if (asked.biWidth != own.biWidth || asked.biHeight != own.biHeight ||
        asked.biBitCount != own.biBitCount || asked.biSizeImage < FrameBytes) {
        return STATUS_NO_MATCH;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from)
{
    Config config = ConfigNow();
    KSSTATE seen = pin->DeviceState;
    Record([=](Observation& s) { s.steps.push_back(StateStep{to, from, seen}); });
    if (config.failStep && config.failTo == to && config.failFrom == from) {
        return config.failStatus;
    }
    return STATUS_SUCCESS;
}

// Presentation time from the pin's clock; false when the pin has none.
bool ClockTime(PKSPIN pin, LONGLONG& time)
{
    PIKSREFERENCECLOCK clock = nullptr;
    NTSTATUS status = KsPinGetReferenceClockInterface(pin, &clock);
    if (!NT_SUCCESS(status) || clock == nullptr) {
        Record([](Observation& s) { s.counters.clockFailures++; });
        return false;
    }
    time = clock->GetTime();
    clock->Release();
    Record([](Observation& s) { s.counters.clockSuccesses++; });
    return true;
}

NTSTATUS NTAPI PinProcess(PKSPIN pin)
{
    bool overlapping = g_inPass.exchange(true);
    Config config = ConfigNow();
    // A state change may be under way on a request thread while the pass runs.
    KSSTATE state = __atomic_load_n(&pin->DeviceState, __ATOMIC_ACQUIRE);

    PKSSTREAM_POINTER pointer =
        KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    ULONG serial = 0;
    if (pointer != nullptr) {
        {
            Observation& s = State();
            std::lock_guard<std::mutex> guard(s.lock);
            serial = static_cast<ULONG>(s.counters.framesDelivered + 1);
        }
        PKSSTREAM_HEADER header = pointer->StreamHeader;
        ULONG used = header->FrameExtent < FrameBytes ? header->FrameExtent : FrameBytes;
        auto* bytes = static_cast<std::uint8_t*>(header->Data);
        for (ULONG i = 0; i < used; ++i) {
            bytes[i] = PatternByte(serial, i);
        }
        LONGLONG time = 0;
        bool timed = ClockTime(pin, time);
        header->DataUsed = used;
        header->Duration = FrameDuration;
        header->PresentationTime.Time = time;
        header->PresentationTime.Numerator = 1;
        header->PresentationTime.Denominator = 1;
        header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_DURATIONVALID |
                               (timed ? KSSTREAM_HEADER_OPTIONSF_TIMEVALID : 0);
    }
    if (config.processDelayMs != 0) {
        DelayMs(config.processDelayMs);
    }
    Record([=](Observation& s) {
        s.counters.processPasses++;
        s.counters.overlappingPasses += overlapping ? 1 : 0;
        s.counters.passesOutsideRun += state != KSSTATE_RUN ? 1 : 0;
        s.counters.passesWithoutFrame += pointer == nullptr ? 1 : 0;
        s.counters.framesDelivered += pointer != nullptr ? 1 : 0;
    });
    g_inPass.store(false);
    if (pointer != nullptr && !config.leaveStreamPointerLocked) {
        KsStreamPointerUnlock(pointer, TRUE);
    }
    return STATUS_PENDING;
}

NTSTATUS NTAPI PinIntersect(PVOID, PIRP, PKSP_PIN, PKSDATARANGE callerRange,
                            PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                            PULONG dataSize)
{
    Record([](Observation& s) { s.counters.intersectCalls++; });
    if (!IsEqualGUID(callerRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        !IsEqualGUID(callerRange->MajorFormat, KSDATAFORMAT_TYPE_VIDEO) ||
        callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO)) {
        return STATUS_NO_MATCH;
    }
    const auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
    const auto* own = reinterpret_cast<const KS_DATARANGE_VIDEO*>(descriptorRange);
    if (caller->VideoInfoHeader.bmiHeader.biWidth != own->VideoInfoHeader.bmiHeader.biWidth ||
        caller->VideoInfoHeader.bmiHeader.biHeight != own->VideoInfoHeader.bmiHeader.biHeight) {
        return STATUS_NO_MATCH;
    }
    constexpr ULONG size = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
    *dataSize = size;
    if (bufferSize == 0) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < size) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER format = VideoFormat();
    std::memcpy(data, &format, size);
    return STATUS_SUCCESS;
}

const KSPIN_DISPATCH PinDispatch = {
    PinCreate,         PinClose, PinProcess, nullptr, PinSetDataFormat,
    PinSetDeviceState, nullptr,  nullptr,    nullptr, nullptr,
};

KS_DATARANGE_VIDEO g_videoRange = VideoRange();
PKSDATARANGE const PinRanges[] = {&g_videoRange.DataRange};

KSPIN_DESCRIPTOR_EX MakePinDescriptor()
{
    KSPIN_DESCRIPTOR_EX descriptor{};
    descriptor.Dispatch = &PinDispatch;
    descriptor.AutomationTable = nullptr;
    descriptor.PinDescriptor.DataRangesCount = 1;
    descriptor.PinDescriptor.DataRanges = PinRanges;
    descriptor.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
    descriptor.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
    descriptor.PinDescriptor.Category = &PINNAME_VIDEO_CAPTURE;
    descriptor.PinDescriptor.Name = &PINNAME_VIDEO_CAPTURE;
    descriptor.Flags = DefaultPinFlags;
    descriptor.InstancesPossible = 1;
    descriptor.InstancesNecessary = 1;
    descriptor.AllocatorFraming = nullptr;
    descriptor.IntersectHandler = PinIntersect;
    return descriptor;
}

// Writable so that each test can choose the pin flags before the device arrives.
KSPIN_DESCRIPTOR_EX g_pinDescriptor = MakePinDescriptor();

const GUID FilterCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

const KSFILTER_DESCRIPTOR FilterDescriptor = {
    &FilterDispatch,
    &FilterAutomation,
    KSFILTER_DESCRIPTOR_VERSION,
    0,
    &KSNAME_Filter,
    1,
    sizeof(KSPIN_DESCRIPTOR_EX),
    &g_pinDescriptor,
    2,
    FilterCategories,
    0,
    sizeof(KSNODE_DESCRIPTOR),
    nullptr,
    0,
    nullptr,
    nullptr,
};

}  // namespace

KS_DATARANGE_VIDEO VideoRange()
{
    KS_DATARANGE_VIDEO range{};
    FillDataFormat(range.DataRange, sizeof(KS_DATARANGE_VIDEO));
    range.bFixedSizeSamples = TRUE;
    range.bTemporalCompression = FALSE;
    range.ConfigCaps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    range.ConfigCaps.InputSize = {FrameWidth, FrameHeight};
    range.ConfigCaps.MinOutputSize = {FrameWidth, FrameHeight};
    range.ConfigCaps.MaxOutputSize = {FrameWidth, FrameHeight};
    range.ConfigCaps.MinFrameInterval = FrameDuration;
    range.ConfigCaps.MaxFrameInterval = FrameDuration;
    range.VideoInfoHeader = VideoInfo();
    return range;
}

KS_DATAFORMAT_VIDEOINFOHEADER VideoFormat()
{
    KS_DATAFORMAT_VIDEOINFOHEADER format{};
    FillDataFormat(format.DataFormat, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    format.VideoInfoHeader = VideoInfo();
    return format;
}

std::uint8_t PatternByte(ULONG serial, ULONG offset)
{
    return static_cast<std::uint8_t>(serial * 37u + offset * 3u + (offset >> 8));
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    Record([](Observation& s) { s.counters.driverEntries++; });
    return KsInitializeDriver(driverObject, registryPath, &DeviceDescriptor);
}

// A copy of one field of the observation record, taken under its lock.
template <typename T>
T Snapshot(T Observation::*field)
{
    Observation& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.*field;
}

Counters Observed()
{
    return Snapshot(&Observation::counters);
}

std::vector<StateStep> StateSteps()
{
    return Snapshot(&Observation::steps);
}

PKSFILTER LastCreatedFilter()
{
    return Snapshot(&Observation::lastCreatedFilter);
}

PKSFILTER LastHandlerFilter()
{
    return Snapshot(&Observation::lastHandlerFilter);
}

PIRP LastHandlerIrp()
{
    return Snapshot(&Observation::lastHandlerIrp);
}

KSPROPERTY LastHandlerRequest()
{
    return Snapshot(&Observation::lastHandlerRequest);
}

void Reset(const Config& config)
{
    Observation& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.config = config;
    s.counters = Counters{};
    s.steps.clear();
    s.device = nullptr;
    s.lastCreatedFilter = nullptr;
    s.lastHandlerFilter = nullptr;
    s.lastHandlerIrp = nullptr;
    s.lastHandlerRequest = KSPROPERTY{};
    g_pinDescriptor.Flags = config.pinFlags;
    g_inPass.store(false);
    std::unique_lock<std::shared_mutex> pinGuard(g_pinLock);
    g_openPin = nullptr;
}

void SetConfig(const Config& config)
{
    Observation& s = State();
    std::lock_guard<std::mutex> guard(s.lock);
    s.config = config;
}

Config CurrentConfig()
{
    return ConfigNow();
}

bool RequestProcessing()
{
    // Under the pin lock, so the pin's Close cannot complete between the check and the call;
    // the call only schedules a pass.
    std::shared_lock<std::shared_mutex> guard(g_pinLock);
    if (g_openPin == nullptr) {
        return false;
    }
    KsPinAttemptProcessing(g_openPin, TRUE);
    return true;
}

bool WaitUntil(const std::function<bool(const Counters&)>& condition, unsigned timeoutMs)
{
    Observation& s = State();
    std::unique_lock<std::mutex> guard(s.lock);
    return s.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [&] { return condition(s.counters); });
}

}  // namespace kstest
