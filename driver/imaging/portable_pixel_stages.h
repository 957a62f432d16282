// The finished pixels of the portable 32-bit path, one at a time, for the portable output
// format kernels: the same demosaic, gains and colour transform (or plain luminance).
#pragma once

#include <wdm.h>

#include "imaging/frame_descriptor.h"
#include "imaging/kernel_support.h"

class ImageProcessor;

namespace PortablePixelStages {

struct FramePixels {
    const FrameDescriptor* Frame;
    KernelSupport::TransformTable Table;
    int Phase;
    BOOLEAN Color;
};

// The per-frame preparation of the colour kernel (or of the plain one when color is FALSE).
void Prepare(const ImageProcessor* processor, const FrameDescriptor* frame, int phase,
             BOOLEAN color, FramePixels* pixels);

struct Bgr {
    UCHAR Blue;
    UCHAR Green;
    UCHAR Red;
};

// Image pixel (x, y) exactly as the 32-bit kernels write it.
Bgr Pixel(const FramePixels* pixels, ULONG x, ULONG y);

}  // namespace PortablePixelStages
