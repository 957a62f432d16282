// The capture filter's automation table: the private property set and the standard video
// property sets applications look for, side by side.
#pragma once

#include "device/streaming_headers.h"

constexpr ULONG FilterPropertySetCount = 4;

extern const KSPROPERTY_SET FilterPropertySets[FilterPropertySetCount];
extern const KSAUTOMATION_TABLE FilterAutomationTable;
