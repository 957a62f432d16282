// The frame geometry that follows the region of interest and the sub-sampling mode.
#pragma once

#include <wdm.h>

class CaptureDevice;

struct FrameGeometry {
    ULONG FrameHeight;   // raw frame lines
    ULONG FrameWidth;    // raw frame pixels per line
    ULONG RawOffset;     // byte offset of pixel (0, 0) in a raw frame
    ULONG RawPitch;      // bytes from one raw line to the next
    ULONG TransferSize;  // bytes of one raw frame transfer
    ULONG OutputWidth;   // FrameWidth rounded down to a multiple of 8
    ULONG OutputHeight;  // FrameHeight
};

// Validates and stores the window and mode, sets the frame sizes and rewrites the camera's
// offered video format. Does nothing while a capture pin exists on any filter of the camera.
// Runs under the device lock (or before the camera has a filter).
void SetRegionOfInterest(CaptureDevice* device, LONG x, LONG y, LONG width, LONG height,
                         ULONG subSample);
// Publishes the offered formats of the current geometry again when the last publication found
// no memory for them. True when the published formats are the geometry's. Under the device
// lock.
bool RefreshVideoFormats(CaptureDevice* device);
// The Bayer phase of the window's first pixel: BaseBayerPhase and the parity of the origin.
ULONG WindowBayerPhase(const CaptureDevice* device);
// BayerPhase from WindowBayerPhase.
void UpdateBayerPhase(CaptureDevice* device);
