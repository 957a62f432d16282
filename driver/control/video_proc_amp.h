// The standard video processing property set on the capture filter: brightness, contrast, hue,
// saturation, colour on/off, the sensor's global gain (its auto flag the sensor's automatic
// gain, the private AGC item), the automatic (grey-world) white balance and the red and blue
// white-balance gains. Every item reads and writes the same settings as the
// private set's items (same clamping, same registry values); the ranges are the private set's.
//
// Conventions of the set:
// - GET fills Value (Value1/Value2 for the white-balance components), Flags (how the item is
//   controlled now) and Capabilities (which of manual and automatic it offers).
// - SET takes Flags MANUAL (or 0, taken as manual) with a Value inside the item's range, or AUTO
//   on the items that offer it. A value outside the range, off its step, or a control mode the
//   item does not offer is refused with STATUS_INVALID_PARAMETER and changes nothing.
// - The filter has no topology nodes, so only the node-less record form is served.
#pragma once

#include "control/property_ranges.h"

// One item of the set: its id, its limits and the control modes it offers.
struct VideoProcAmpControl {
    ULONG Id;
    PropertyRange Range;
    ULONG Capabilities;
};

constexpr ULONG VideoProcAmpItemCount = 8;

// The set's items in id order, as applications discover them.
extern const VideoProcAmpControl VideoProcAmpControls[VideoProcAmpItemCount];
extern const KSPROPERTY_ITEM VideoProcAmpItems[VideoProcAmpItemCount];

NTSTATUS NTAPI VideoProcAmpGetHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI VideoProcAmpSetHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI VideoProcAmpSupportHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
