// The capture pin's automation table: the dropped-frame and video control property sets.
#pragma once

#include "device/streaming_headers.h"

extern const KSAUTOMATION_TABLE PinAutomationTable;
