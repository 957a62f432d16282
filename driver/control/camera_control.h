// The standard camera control property set on the capture filter: the exposure, in the set's
// units (log2 seconds: Value n means 2^n s), and its automatic control (the sensor's automatic
// exposure, the private AEC item). Both are the private items' settings (Exposure rows and
// AEC), with their clamping and registry values.
//
// Mapping, with t_row = RowClocksFor(frame width) / PixelClockOf(clock selection):
// - SET n (manual): rows = 2^n / t_row rounded to the nearest row. The range offered is every n
//   whose rows lie within the private item's 1..32767 (it moves with the clock and the window);
//   an n outside it, RELATIVE or both mode flags -> STATUS_INVALID_PARAMETER, nothing changes.
//   A manual set switches the automatic exposure off first.
// - SET AUTO: switches the automatic exposure on; Value is not read.
// - GET: the n of the range whose row count is nearest the sensor's current exposure (read
//   back, so the automatic exposure's choice shows), Flags AUTO while it runs.
// - The default is the n nearest the private item's default of 480 rows.
#pragma once

#include "control/property_ranges.h"

constexpr ULONG CameraControlItemCount = 1;
extern const KSPROPERTY_ITEM CameraControlItems[CameraControlItemCount];

// Rows of an exposure of 2^log2Seconds s at a row of `rowClocks` pixel clocks and a pixel
// clock of `clockHz`, rounded to the nearest row (log2Seconds within ExposureLog2Lowest..
// ExposureLog2Highest).
constexpr LONG ExposureLog2Lowest = -20;
constexpr LONG ExposureLog2Highest = 3;
ULONG ExposureRowsFor(LONG log2Seconds, ULONG rowClocks, ULONG clockHz);
// The range of n a camera at that row time offers, and its default.
PropertyRange ExposureRange(ULONG rowClocks, ULONG clockHz);
// The n of `range` whose row count is nearest `rows` (the lower n on a tie).
LONG NearestExposureLog2(ULONG rows, const PropertyRange& range, ULONG rowClocks, ULONG clockHz);

NTSTATUS NTAPI CameraControlGetHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI CameraControlSetHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI CameraControlSupportHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
