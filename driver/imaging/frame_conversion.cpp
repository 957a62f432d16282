// Per-frame conversion: load the raw frame into the bordered working buffer, snapshot the
// parameters, and run the kernel of the output format and the frame's Bayer phase, once.
#include "imaging/conversion_kernels.h"
#include "imaging/image_processor.h"
#include "imaging/output_formats.h"
#include "imaging/vector_state_save.h"

BOOLEAN ImageProcessor::Convert(const UCHAR* raw, ULONG rawOffset, ULONG rawPitch)
{
    // Read once: the whole frame goes to the buffer that was bound when it started.
    UCHAR* output = OutputBuffer;
    if (output == nullptr || raw == nullptr || WorkBuffer == nullptr) {
        return FALSE;
    }
    // The format is fixed while a stream runs (it changes only with the pin stopped); the
    // buffer must hold its image, which a buffer bound without its size is trusted to do only
    // for 32-bit RGB.
    LONG format = InterlockedExchangeAdd(&OutputFormat, 0);
    if (format < 0 || format >= static_cast<LONG>(OutputFormatCount)) {
        format = OutputFormatRgb32;
    }
    const ULONG imageBytes = OutputImageBytes(format);
    if (imageBytes == 0 || (OutputBytes == 0 && format != OutputFormatRgb32) ||
        (OutputBytes != 0 && imageBytes > OutputBytes)) {
        return FALSE;
    }
    // The kernels use the vector registers, whose state belongs to the interrupted thread
    // until saved: the floating-point save for SSE2, the extended save as well for the wider
    // sets. A frame runs on the set its save covers; one that cannot save even the
    // floating-point state is skipped.
    VectorStateScope scope(Isa);
    if (!scope.Saved()) {
        return FALSE;
    }

    LoadRawFrame(raw, rawOffset, rawPitch);
    Frame.Output = output;
    Frame.RedGain = InterlockedExchangeAdd(&RedGain, 0);
    Frame.GreenGain = InterlockedExchangeAdd(&GreenGain, 0);
    Frame.BlueGain = InterlockedExchangeAdd(&BlueGain, 0);
    LONG phase = InterlockedExchangeAdd(&BayerPhase, 0);
    ULONG member = phase >= 0 && phase <= 2 ? static_cast<ULONG>(phase) : 3;
    // Every format runs on the widest set the save granted.
    const ConversionKernels* kernels = KernelTableFor(scope.Granted());

    KeEnterCriticalRegion();
    for (int k = 0; k < 16; ++k) {
        LONG coefficient = InterlockedExchangeAdd(&FixedMatrix[k], 0);
        PositiveFlags[k] = coefficient > 0 ? 1 : 0;
        Frame.Coefficients[k] = coefficient;
    }
    KeLeaveCriticalRegion();

    BOOLEAN color = InterlockedExchangeAdd(&ColorEnable, 0) != 0 ? TRUE : FALSE;
    // Raw Bayer samples go out as the camera sent them: no gains apply, so white balance
    // neither runs nor moves the gains.
    const bool balance = format != OutputFormatBayer8 && InterlockedExchangeAdd(&WhiteBalance, 0) != 0;
    BOOLEAN converted = TRUE;
    if (balance && format == OutputFormatRgb32) {
        // One pass finds the gains and keeps the demosaiced frame for the conversion.
        kernels->BalancedConversion[member](this, &Frame, color, &Frame.RedGain,
                                            &Frame.GreenGain, &Frame.BlueGain);
    } else {
        if (balance) {
            kernels->AutoWhiteBalance[member](&Frame, &Frame.RedGain, &Frame.GreenGain,
                                              &Frame.BlueGain);
        }
        // Formats other than 32-bit RGB cover the delivered width only: the kernel sees the
        // same working buffer (whose border lies at the frame's edge) through a narrower
        // descriptor.
        FrameDescriptor view = Frame;
        view.Width = ConvertedWidth(format);
        converted = FormatKernelsFor(scope.Granted())->Kernel[static_cast<ULONG>(format)][member](
            this, &view, color);
    }
    if (balance) {
        // The gains of this frame applied to this frame, and become the processor's gains.
        InterlockedExchange(&RedGain, Frame.RedGain);
        InterlockedExchange(&GreenGain, Frame.GreenGain);
        InterlockedExchange(&BlueGain, Frame.BlueGain);
    }
    return converted;
}

void ImageProcessor::LoadRawFrame(const UCHAR* raw, ULONG rawOffset, ULONG rawPitch)
{
    // The descriptor's geometry is the one the working buffer was prepared for.
    const ULONG width = Frame.Width;
    const ULONG height = Frame.Height;
    const LONG stride = Frame.Stride;
    UCHAR* pixels = Frame.Pixels;
    if (pixels == nullptr) {
        return;  // no working buffer
    }
    auto row = [pixels, stride](LONG y) { return pixels + static_cast<LONG_PTR>(y) * stride; };

    const UCHAR* source = raw + rawOffset;
    for (ULONG y = 0; y < height; ++y) {
        RtlCopyMemory(row(static_cast<LONG>(y)), source + static_cast<SIZE_T>(y) * rawPitch, width);
    }
    if (width < 8 || height < 8) {
        return;
    }

    // Reflect about the edge pixels at an even distance, so every border pixel carries the
    // filter colour of the pixel it stands in for.
    const LONG h = static_cast<LONG>(height);
    RtlCopyMemory(row(-2), row(2), width);
    RtlCopyMemory(row(-1), row(1), width);
    RtlCopyMemory(row(h), row(h - 2), width);
    RtlCopyMemory(row(h + 1), row(h - 3), width);
    for (LONG y = -2; y < h + 2; ++y) {
        UCHAR* line = row(y);
        line[-1] = line[1];
        line[-2] = line[2];
        line[width] = line[width - 2];
        line[width + 1] = line[width - 3];
    }
}
