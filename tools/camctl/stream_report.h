// The counts camctl shows after a stream: the camera's stream statistics (private property
// items, read through the filter; they stay after the pin closes) and the capture pin's
// dropped-frame property (read through the pin while it is open).
#pragma once

#include "camera_control.h"

#include <iosfwd>
#include <optional>

namespace camctl {

struct DroppedFrames {
    LONGLONG pictureNumber = 0;
    LONGLONG dropCount = 0;
    ULONG averageFrameSize = 0;
};

// KSPROPERTY_DROPPEDFRAMES_CURRENT of a capture pin.
NTSTATUS ReadDroppedFrames(HANDLE pin, DroppedFrames& dropped);

// Prints the statistics items (one "Name: value" line each) and, when there, the dropped-frame
// counts. Returns false (with a message on `err`) when an item could not be read.
bool PrintStreamReport(const CameraControl& control, const std::optional<DroppedFrames>& dropped,
                       std::ostream& out, std::ostream& err);

}  // namespace camctl
