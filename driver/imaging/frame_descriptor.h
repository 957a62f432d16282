// The per-frame record the image processor hands to every conversion kernel.
#pragma once

#include <wdm.h>

struct FrameDescriptor {
    // Image pixel (0, 0) inside the bordered working buffer; pixel (y, x) is at
    // Pixels + y * Stride + x for y in -2 .. Height + 1 and x in -2 .. Width + 1.
    UCHAR* Pixels;
    // Width x Height pixels of 4 bytes (blue, green, red, 255), rows top-down, no gap; for
    // the format kernels the layout of their format (imaging/output_formats.h).
    UCHAR* Output;
    LONG Stride;
    // Gains in 1/128 units; the kernels use the low 16 bits as an unsigned multiplier.
    LONG RedGain;
    LONG GreenGain;
    LONG BlueGain;
    ULONG Width;
    ULONG Height;
    // Snapshot of the quantised colour matrix, row-major, 1/64 units.
    LONG Coefficients[16];
    // Room for the demosaiced frame that white balance keeps for the conversion after it:
    // Height rows of KeptStride bytes (three bytes per pixel and some slack), or null.
    UCHAR* Kept;
    ULONG KeptStride;
};
