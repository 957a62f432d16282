// The driver's four pool tags, as their bytes in memory order.
#pragma once

#include "device/pool_new.h"

// Device, filter, pin and worker objects.
constexpr ULONG DeviceObjectPoolTag = PoolTag("KCNw");
// USB request blocks, descriptor buffers and transfer bookkeeping.
constexpr ULONG UsbPoolTag = PoolTag("VUBA");
