// The capture pin's automation table: the dropped-frame property set.
#pragma once

#include "device/streaming_headers.h"

extern const KSAUTOMATION_TABLE PinAutomationTable;
