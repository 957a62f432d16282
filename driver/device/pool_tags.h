// The driver's four pool tags, as their bytes in memory order.
#pragma once

#include "device/pool_new.h"

// Device, filter, pin and worker objects.
constexpr ULONG DeviceObjectPoolTag = PoolTag("KCNw");
// USB request blocks, descriptor buffers and transfer bookkeeping.
constexpr ULONG UsbPoolTag = PoolTag("VUBA");
// The image processor.
constexpr ULONG ImageProcessorPoolTag = PoolTag("IsyR");
// Frame-sized buffers and the pin's private descriptor copies.
constexpr ULONG FrameBufferPoolTag = PoolTag("ZELh");
