// The driver's descriptor tables.
#include "device/descriptor_tables.h"

#include "control/filter_automation.h"
#include "device/capture_device.h"
#include "pin/capture_pin.h"
#include "pin/dropped_frames.h"
#include "pin/format_negotiation.h"

namespace {

// The pin's name lives in writable memory; it never changes.
GUID PinName = {STATIC_PINNAME_VIDEO_CAPTURE};

}  // namespace

const KSDEVICE_DISPATCH DeviceDispatch = {
    CaptureDevice::Add,  // Add
    CaptureDevice::Start,  // Start
    nullptr,  // PostStart
    nullptr,  // QueryStop
    nullptr,  // CancelStop
    CaptureDevice::Stop,  // Stop
    nullptr,  // QueryRemove
    nullptr,  // CancelRemove
    nullptr,  // Remove
    nullptr,  // QueryCapabilities
    CaptureDevice::SurpriseRemoval,  // SurpriseRemoval
    nullptr,  // QueryPower
    nullptr,  // SetPower
    nullptr,  // QueryInterface
};

// Only the members every platform version has; the later Version and Flags stay zero.
const KSDEVICE_DESCRIPTOR DeviceDescriptor = {&DeviceDispatch, 0, nullptr};

const KSFILTER_DISPATCH FilterDispatch = {
    CaptureDevice::FilterCreate,
    CaptureDevice::FilterClose,
    nullptr,  // Process
    nullptr,  // Reset
};

const GUID FilterCategories[2] = {
    {STATIC_KSCATEGORY_VIDEO},
    {STATIC_KSCATEGORY_CAPTURE},
};

const KSALLOCATOR_FRAMING_EX PinAllocatorFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression
    0,          // PinWeight
    {{
        {STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED},  // MemoryType
        {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},     // BusType
        0,                                       // MemoryFlags
        0,                                       // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,
        2,                            // Frames
        {0},                          // FileAlignment
        0,                            // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},           // PhysicalRange
        {{0x2000, 0x2000, 1}, 0, 0},  // FramingRange
    }},
};

const KSPIN_DESCRIPTOR_EX PinDescriptorTemplate = {
    &PinDispatch,
    &PinAutomationTable,
    {
        0,        // InterfacesCount
        nullptr,  // Interfaces
        0,        // MediumsCount
        nullptr,  // Mediums
        0,        // DataRangesCount: set per camera
        nullptr,  // DataRanges: set per camera
        KSPIN_DATAFLOW_OUT,
        KSPIN_COMMUNICATION_BOTH,
        &PINNAME_VIDEO_CAPTURE,  // Category
        &PinName,                // Name
        {0},                     // ConstrainedDataRangesCount, ConstrainedDataRanges
    },
    KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_FRAMES_NOT_REQUIRED_FOR_PROCESSING |
        KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
    1,  // InstancesPossible
    1,  // InstancesNecessary
    &PinAllocatorFraming,
    IntersectHandler,
};

const KSFILTER_DESCRIPTOR FilterDescriptorTemplate = {
    &FilterDispatch,
    &FilterAutomationTable,
    KSFILTER_DESCRIPTOR_VERSION,
    0,  // Flags
    &KSNAME_Filter,
    1,                            // PinDescriptorsCount
    sizeof(KSPIN_DESCRIPTOR_EX),  // PinDescriptorSize
    nullptr,                      // PinDescriptors: set per camera
    2,                            // CategoriesCount
    FilterCategories,
    0,                          // NodeDescriptorsCount
    sizeof(KSNODE_DESCRIPTOR),  // NodeDescriptorSize
    nullptr,                    // NodeDescriptors
    0,                          // ConnectionsCount
    nullptr,                    // Connections
    nullptr,                    // ComponentId
};
