// The image processor: turns one raw 8-bit Bayer frame into a 32-bit image.
//
// It holds the colour parameters (shared with property requests through interlocked
// operations only), the frame geometry with its bordered working buffer, and the colour
// matrices that fold colour correction, contrast, brightness, saturation and hue into one
// 4 x 4 transform quantised to 1/64 units.
#pragma once

#include <wdm.h>

#include "device/pool_new.h"
#include "device/pool_tags.h"
#include "imaging/color_matrix.h"
#include "imaging/frame_descriptor.h"
#include "imaging/imaging_isa.h"

// Pool tag of the processor object ("IsyR") and of frame-sized buffers ("ZELh"), as their
// bytes in memory order.

class ImageProcessor {
public:
    // Created zero-filled from non-paged pool by Create (or by the device with the pool
    // helpers under ImageProcessorPoolTag). Null when the pool is exhausted.
    static ImageProcessor* Create();
    // Runs the destructor and returns the storage under ImageProcessorPoolTag.
    static void Destroy(ImageProcessor* processor);

    ImageProcessor();
    // The only virtual operation. Releases the working buffer.
    virtual ~ImageProcessor();
    // The deleting form of the destructor returns the storage to the pool.
    static void operator delete(void* memory, size_t size);

    // Geometry, at stream start, in this order.
    void SetGeometry(ULONG width, ULONG height);
    void PrepareWorkBuffer();
    // Frees the working buffer and the kept frame; the kept frame alone.
    void ReleaseWorkBuffer();
    void ReleaseKeptFrame();
    // The columns the formats other than 32-bit RGB are converted at (the delivered width);
    // 32-bit RGB images keep the whole frame width. 0, or more than the frame: the frame width.
    void SetOutputWidth(ULONG width);
    // The width and the bytes of the output image in `format` at the current geometry; bytes
    // 0 when the format refuses the size.
    ULONG ConvertedWidth(LONG format) const;
    ULONG OutputImageBytes(LONG format) const;

    // Converts one raw frame into OutputBuffer: raw + rawOffset is pixel (0, 0), rawPitch the
    // bytes from one raw line to the next. FALSE when the frame was skipped and OutputBuffer
    // left as it was.
    BOOLEAN Convert(const UCHAR* raw, ULONG rawOffset, ULONG rawPitch);
    // Copies the raw frame into the working buffer and builds the reflected border.
    void LoadRawFrame(const UCHAR* raw, ULONG rawOffset, ULONG rawPitch);

    // Plain parameters: stored with one interlocked exchange.
    void SetBayerPhase(LONG phase);
    void SetColorEnable(LONG enable);
    void SetWhiteBalance(LONG enable);
    void SetRedGain(LONG gain);
    void SetGreenGain(LONG gain);
    void SetBlueGain(LONG gain);
    // The OutputFormat Convert writes (imaging/output_formats.h); unknown values: 32-bit RGB.
    void SetOutputFormat(LONG format);
    LONG GetOutputFormat();
    LONG GetColorEnable();
    LONG GetWhiteBalance();
    LONG GetRedGain();
    LONG GetGreenGain();
    LONG GetBlueGain();

    // Rebuilding parameters: a changed value rebuilds its matrix and the coefficients.
    void SetColorCorrection(LONG enable);
    void SetBrightness(LONG brightness);
    void SetContrast(LONG contrast);
    void SetSaturation(LONG saturation);
    void SetHue(LONG hue);
    LONG GetColorCorrection();
    LONG GetBrightness();
    LONG GetContrast();
    LONG GetSaturation();
    LONG GetHue();

    // Matrix builders; each ends with RebuildCoefficients. Floating point: the caller holds a
    // floating-point save.
    void ResetMatrices();
    void BuildCorrectionMatrix(LONG enable);
    void BuildBrightnessMatrix(LONG brightness);
    void BuildContrastMatrix(LONG contrast);
    void BuildSaturationMatrix(LONG saturation);
    void BuildHueMatrix(LONG hue);
    void RebuildCoefficients();
    void QuantizeCoefficients();

    FrameDescriptor Frame;
    ULONG Width;
    ULONG Height;
    LONG WorkStride;
    ULONG WorkSize;
    ULONG WorkCapacity;
    UCHAR* OutputBuffer;  // owned by the capture worker
    // Bytes OutputBuffer holds, set with it; 0 when only a 32-bit RGB image of the frame size
    // is known to fit (a buffer bound without its size).
    ULONG OutputBytes;
    ULONG OutputWidth;
    UCHAR* WorkBuffer;    // owned here, tag FrameBufferPoolTag
    // The widest instruction set Convert asks for, chosen when the processor is created (the
    // processor's and the system's, ChosenImagingIsa); each frame runs on what its save grants.
    ImagingIsa Isa;
    // The demosaiced frame white balance keeps (FrameDescriptor::Kept); owned here, same tag,
    // KeptSize bytes for the geometry, KeptCapacity allocated. Null when it could not be
    // allocated: white balance then demosaics the frame a second time.
    UCHAR* KeptBuffer;
    ULONG KeptSize;
    ULONG KeptCapacity;

    // The parameter block: after construction every access is interlocked.
    volatile LONG BayerPhase;
    volatile LONG ColorEnable;
    volatile LONG WhiteBalance;
    volatile LONG RedGain;
    volatile LONG GreenGain;
    volatile LONG BlueGain;
    volatile LONG ColorCorrection;
    volatile LONG Brightness;
    volatile LONG Contrast;
    volatile LONG Saturation;
    volatile LONG Hue;
    volatile LONG OutputFormat;

    ColorMatrix CorrectionMatrix;
    ColorMatrix BrightnessMatrix;
    ColorMatrix ContrastMatrix;
    ColorMatrix SaturationMatrix;
    ColorMatrix HueMatrix;
    ColorMatrix CombinedMatrix;
    // CombinedMatrix x 64, rounded half away from zero; row-major.
    volatile LONG FixedMatrix[16];
    // 1 where the matching coefficient of this frame is positive; written by Convert.
    UCHAR PositiveFlags[16];

private:
    typedef void (ImageProcessor::*Builder)(LONG value);
    void SetRebuilding(volatile LONG* field, LONG value, Builder builder);
};
