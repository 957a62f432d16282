// The standard video control property set, on the capture pin and on the capture filter (where
// applications address it with the pin's index as StreamIndex):
// - CAPS: the modes the stream offers: horizontal and vertical flip and the external trigger.
// - MODE: those three as flags over the private FlipH, FlipV and ExTrigger settings (same
//   settings record, same registry values). A set carries the whole mode; a flag the camera
//   does not offer (the programmatic trigger, the obsolete flags, any other bit) refuses the
//   set with STATUS_INVALID_PARAMETER and nothing changes.
// - FRAME_RATES: the frame intervals (100 ns units) the camera offers at its current frame
//   size: one per clock selection, fastest first, each the read-out time of a frame (rows plus
//   vertical blanking) at that clock. Answered as a KSMULTIPLE_ITEM of LONGLONG values; a
//   zero-length buffer gets STATUS_BUFFER_OVERFLOW with the size, a shorter one
//   STATUS_BUFFER_TOO_SMALL.
// - ACTUAL_FRAME_RATE: the interval of the stream as the camera runs now (its clock, and its
//   exposure when that is longer than the read-out) and the shortest one its clock allows.
//   On the filter it needs a capture pin (STATUS_NOT_SUPPORTED without one).
// StreamIndex must name the capture pin, RangeIndex one of its data ranges and Dimensions the
// size they deliver; anything else is refused with STATUS_INVALID_PARAMETER.
#pragma once

#include "device/streaming_headers.h"

// The pin factory the records' StreamIndex names: the capture pin.
constexpr ULONG VideoControlStreamIndex = 0;
constexpr ULONG VideoControlCaps = KS_VideoControlFlag_FlipHorizontal |
                                   KS_VideoControlFlag_FlipVertical |
                                   KS_VideoControlFlag_ExternalTriggerEnable;
// One frame interval per clock selection.
constexpr ULONG VideoControlFrameRateCount = 6;

constexpr ULONG VideoControlItemCount = 4;
extern const KSPROPERTY_ITEM VideoControlItems[VideoControlItemCount];
