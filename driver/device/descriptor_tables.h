// The constant tables the driver hands the streaming framework: device descriptor and dispatch,
// filter descriptor and dispatch, and the capture pin's descriptor and allocator framing. Each
// camera works with its own copies of the filter and pin descriptors (pin/video_format.h).
#pragma once

#include "device/streaming_headers.h"

extern const KSDEVICE_DISPATCH DeviceDispatch;
extern const KSDEVICE_DESCRIPTOR DeviceDescriptor;
extern const KSFILTER_DISPATCH FilterDispatch;
extern const GUID FilterCategories[2];
extern const KSALLOCATOR_FRAMING_EX PinAllocatorFraming;
extern const KSPIN_DESCRIPTOR_EX PinDescriptorTemplate;
extern const KSFILTER_DESCRIPTOR FilterDescriptorTemplate;
