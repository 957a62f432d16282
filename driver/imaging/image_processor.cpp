// The image processor object: parameters, geometry, and the colour matrix rebuilds.
#include "imaging/image_processor.h"

#include "imaging/conversion_kernels.h"

#include "imaging/output_formats.h"
#include "imaging/processor_isa.h"
#include "imaging/exact_floating_point.h"

namespace {

// The constants of the colour model are single-precision values widened to double; the
// rebuilt coefficients depend on their exact bits.
constexpr double FixedPointScale = 64.0;
constexpr double RoundingHalf = static_cast<double>(0.5f);
constexpr double LumaRed = static_cast<double>(0.3086f);
constexpr double LumaGreen = static_cast<double>(0.6094f);
constexpr double LumaBlue = static_cast<double>(0.0820f);
constexpr double StepPerUnit = static_cast<double>(0.1f);
constexpr LONG NeutralContrast = 10;
constexpr LONG NeutralBrightness = 255;
constexpr LONG MaximumBrightness = 510;
constexpr LONG MaximumContrast = 20;
constexpr double ContrastPivot = 128.0;
constexpr double DegreesPerHalfTurn = 180.0;
constexpr float Pi = 3.14159265358979f;
constexpr float SquareRootOfTwo = 1.41421356237310f;
constexpr float SquareRootOfThree = 1.73205080756888f;

// Colour correction, as [from][to]: each output column sums to 1 so that grey stays grey.
constexpr float Correction[3][3] = {
    {1.36f, -0.25f, -0.10f},
    {-0.22f, 1.40f, -0.32f},
    {-0.14f, -0.15f, 1.42f},
};

LONG ReadParameter(volatile LONG* field)
{
    return InterlockedExchangeAdd(field, 0);
}

void LoadCorrection(ColorMatrix* matrix)
{
    MatrixIdentity(matrix);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            matrix->M[row][column] = static_cast<double>(Correction[row][column]);
        }
    }
}

// Contrast and Saturation share their scale: 0 .. 20 maps to 0.0 .. 2.0, 10 is neutral.
double UnitScale(LONG value)
{
    LONG limited = value < MaximumContrast ? value : MaximumContrast;
    return static_cast<double>(limited - NeutralContrast) * StepPerUnit + 1.0;
}

// x rounded half away from zero and truncated to 32 bits. Entries are a few hundred for every
// setting the device forwards; values outside the 32-bit range (only reachable with absurd
// brightness values) saturate instead of invoking an undefined conversion.
LONG RoundToFixed(double entry)
{
    double x = entry * FixedPointScale;
    x = x >= 0.0 ? x + RoundingHalf : x - RoundingHalf;
    if (!(x < 2147483647.0)) {
        return x >= 0.0 ? 2147483647 : 0;  // the second case is a not-a-number
    }
    if (!(x > -2147483648.0)) {
        return -2147483647 - 1;
    }
    return static_cast<LONG>(x);
}

}  // namespace

ImageProcessor* ImageProcessor::Create()
{
    return new (NonPagedPool, ImageProcessorPoolTag) ImageProcessor();
}

void ImageProcessor::Destroy(ImageProcessor* processor)
{
    PoolDelete(processor, ImageProcessorPoolTag);
}

void ImageProcessor::operator delete(void* memory, size_t)
{
    ExFreePoolWithTag(memory, ImageProcessorPoolTag);
}

ImageProcessor::ImageProcessor()
{
    // The storage arrives zero-filled; the matrices stay zero if the floating-point state
    // cannot be saved.
    Width = 0;
    Height = 0;
    WorkStride = 0;
    WorkSize = 0;
    WorkCapacity = 0;
    OutputBuffer = nullptr;
    OutputBytes = 0;
    OutputWidth = 0;
    WorkBuffer = nullptr;
    Isa = ChosenImagingIsa();
    KeptBuffer = nullptr;
    KeptSize = 0;
    KeptCapacity = 0;
    OutputFormat = OutputFormatRgb32;
    BayerPhase = 0;
    ColorEnable = 1;
    WhiteBalance = 0;
    RedGain = 128;
    GreenGain = 128;
    BlueGain = 128;
    ColorCorrection = 1;
    Brightness = NeutralBrightness;
    Contrast = NeutralContrast;
    Saturation = NeutralContrast;
    Hue = 0;

    KFLOATING_SAVE save;
    if (NT_SUCCESS(KeSaveFloatingPointState(&save))) {
        ResetMatrices();
        KeRestoreFloatingPointState(&save);
    }
}

ImageProcessor::~ImageProcessor()
{
    ReleaseWorkBuffer();
}

void ImageProcessor::ReleaseWorkBuffer()
{
    if (WorkBuffer != nullptr) {
        ExFreePoolWithTag(WorkBuffer, FrameBufferPoolTag);
        WorkBuffer = nullptr;
    }
    WorkCapacity = 0;
    ReleaseKeptFrame();
}

void ImageProcessor::ReleaseKeptFrame()
{
    if (KeptBuffer != nullptr) {
        ExFreePoolWithTag(KeptBuffer, FrameBufferPoolTag);
        KeptBuffer = nullptr;
    }
    KeptCapacity = 0;
}

void ImageProcessor::SetGeometry(ULONG width, ULONG height)
{
    Width = width;
    Height = height;
    // Blocks of 16 pixels read up to 18 bytes past their start; 5 bytes in front of column 0
    // and at least 22 behind the last block keep every read inside the row.
    WorkStride = static_cast<LONG>((width & ~15u) + 27);
    WorkSize = static_cast<ULONG>(WorkStride) * (height + (height & 1) + 4);
    KeptSize = KeptFrameStride(static_cast<ULONG>(WorkStride)) * height;
}

void ImageProcessor::SetOutputWidth(ULONG width)
{
    OutputWidth = width;
}

ULONG ImageProcessor::ConvertedWidth(LONG format) const
{
    if (format == OutputFormatRgb32 || OutputWidth == 0 || OutputWidth > Width) {
        return Width;
    }
    return OutputWidth;
}

ULONG ImageProcessor::OutputImageBytes(LONG format) const
{
    if (format < 0 || format >= static_cast<LONG>(OutputFormatCount)) {
        format = OutputFormatRgb32;
    }
    return OutputFrameBytes(static_cast<ULONG>(format), ConvertedWidth(format), Height);
}

void ImageProcessor::PrepareWorkBuffer()
{
    // Reallocated only when the size changes, or to retry after an allocation failed.
    if (WorkCapacity != WorkSize || WorkBuffer == nullptr) {
        ReleaseWorkBuffer();
        WorkBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, WorkSize,
                                                               FrameBufferPoolTag));
        if (WorkBuffer != nullptr) {
            // Frames narrower or lower than 8 pixels get no border; give the kernels defined
            // bytes to read there.
            RtlZeroMemory(WorkBuffer, WorkSize);
            WorkCapacity = WorkSize;
        }
    }
    // The kept frame has its own size (two geometries can share a working-buffer size but not
    // a height). Optional: without it white balance costs a second demosaic, nothing else.
    if (WorkBuffer == nullptr || KeptCapacity != KeptSize) {
        ReleaseKeptFrame();
    }
    if (WorkBuffer != nullptr && KeptBuffer == nullptr && KeptSize != 0) {
        KeptBuffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, KeptSize,
                                                               FrameBufferPoolTag));
        KeptCapacity = KeptBuffer != nullptr ? KeptSize : 0;
    }
    Frame.Kept = KeptBuffer;
    Frame.KeptStride = KeptBuffer != nullptr ? KeptFrameStride(static_cast<ULONG>(WorkStride)) : 0;
    Frame.Pixels = WorkBuffer != nullptr ? WorkBuffer + 2 * WorkStride + 5 : nullptr;
    Frame.Stride = WorkStride;
    Frame.Width = Width;
    Frame.Height = Height;
}

void ImageProcessor::SetBayerPhase(LONG phase) { InterlockedExchange(&BayerPhase, phase); }
void ImageProcessor::SetColorEnable(LONG enable) { InterlockedExchange(&ColorEnable, enable); }
void ImageProcessor::SetWhiteBalance(LONG enable) { InterlockedExchange(&WhiteBalance, enable); }
void ImageProcessor::SetRedGain(LONG gain) { InterlockedExchange(&RedGain, gain); }
void ImageProcessor::SetGreenGain(LONG gain) { InterlockedExchange(&GreenGain, gain); }
void ImageProcessor::SetBlueGain(LONG gain) { InterlockedExchange(&BlueGain, gain); }
void ImageProcessor::SetOutputFormat(LONG format)
{
    InterlockedExchange(&OutputFormat,
                        format >= 0 && format < static_cast<LONG>(OutputFormatCount) ? format
                                                                         : static_cast<LONG>(OutputFormatRgb32));
}
LONG ImageProcessor::GetOutputFormat() { return ReadParameter(&OutputFormat); }
LONG ImageProcessor::GetColorEnable() { return ReadParameter(&ColorEnable); }
LONG ImageProcessor::GetWhiteBalance() { return ReadParameter(&WhiteBalance); }
LONG ImageProcessor::GetRedGain() { return ReadParameter(&RedGain); }
LONG ImageProcessor::GetGreenGain() { return ReadParameter(&GreenGain); }
LONG ImageProcessor::GetBlueGain() { return ReadParameter(&BlueGain); }
LONG ImageProcessor::GetColorCorrection() { return ReadParameter(&ColorCorrection); }
LONG ImageProcessor::GetBrightness() { return ReadParameter(&Brightness); }
LONG ImageProcessor::GetContrast() { return ReadParameter(&Contrast); }
LONG ImageProcessor::GetSaturation() { return ReadParameter(&Saturation); }
LONG ImageProcessor::GetHue() { return ReadParameter(&Hue); }

void ImageProcessor::SetRebuilding(volatile LONG* field, LONG value, Builder builder)
{
    // Exchanging a value with itself changes nothing and tells whether it was already set.
    if (InterlockedCompareExchange(field, value, value) == value) {
        return;
    }
    InterlockedExchange(field, value);
    KFLOATING_SAVE save;
    if (!NT_SUCCESS(KeSaveFloatingPointState(&save))) {
        return;  // stored; the tables keep their previous state
    }
    (this->*builder)(value);
    KeRestoreFloatingPointState(&save);
}

void ImageProcessor::SetColorCorrection(LONG enable)
{
    SetRebuilding(&ColorCorrection, enable, &ImageProcessor::BuildCorrectionMatrix);
}

void ImageProcessor::SetBrightness(LONG brightness)
{
    SetRebuilding(&Brightness, brightness, &ImageProcessor::BuildBrightnessMatrix);
}

void ImageProcessor::SetContrast(LONG contrast)
{
    SetRebuilding(&Contrast, contrast, &ImageProcessor::BuildContrastMatrix);
}

void ImageProcessor::SetSaturation(LONG saturation)
{
    SetRebuilding(&Saturation, saturation, &ImageProcessor::BuildSaturationMatrix);
}

void ImageProcessor::SetHue(LONG hue)
{
    SetRebuilding(&Hue, hue, &ImageProcessor::BuildHueMatrix);
}

void ImageProcessor::ResetMatrices()
{
    MatrixIdentity(&BrightnessMatrix);
    MatrixIdentity(&ContrastMatrix);
    MatrixIdentity(&SaturationMatrix);
    MatrixIdentity(&HueMatrix);
    MatrixIdentity(&CombinedMatrix);
    LoadCorrection(&CorrectionMatrix);
    RebuildCoefficients();
}

void ImageProcessor::BuildCorrectionMatrix(LONG enable)
{
    if (enable != 0) {
        LoadCorrection(&CorrectionMatrix);
    } else {
        MatrixIdentity(&CorrectionMatrix);
    }
    RebuildCoefficients();
}

void ImageProcessor::BuildBrightnessMatrix(LONG brightness)
{
    LONG limited = brightness < MaximumBrightness ? brightness : MaximumBrightness;
    MatrixIdentity(&BrightnessMatrix);
    MatrixOffset(&BrightnessMatrix, static_cast<double>(limited - NeutralBrightness));
    RebuildCoefficients();
}

void ImageProcessor::BuildContrastMatrix(LONG contrast)
{
    // Each channel becomes g x value + 128 x (1 - g): contrast pivots about mid-grey.
    double g = UnitScale(contrast);
    double offset = -ContrastPivot * g + ContrastPivot;
    MatrixIdentity(&ContrastMatrix);
    for (int i = 0; i < 3; ++i) {
        ContrastMatrix.M[i][i] = g;
        ContrastMatrix.M[3][i] = offset;
    }
    RebuildCoefficients();
}

void ImageProcessor::BuildSaturationMatrix(LONG saturation)
{
    // Blends each colour with its weighted grey: s = 0 is grey, s = 1 leaves the colour.
    double s = UnitScale(saturation);
    double e = 1.0 - s;
    const double weights[3] = {LumaRed, LumaGreen, LumaBlue};
    MatrixIdentity(&SaturationMatrix);
    for (int row = 0; row < 3; ++row) {
        for (int column = 0; column < 3; ++column) {
            double entry = weights[row] * e;
            SaturationMatrix.M[row][column] = row == column ? entry + s : entry;
        }
    }
    RebuildCoefficients();
}

void ImageProcessor::BuildHueMatrix(LONG hue)
{
    // Rotate the grey axis onto the third axis, level the luminance plane with a shear, turn
    // about the grey axis, then undo the shear and the two rotations.
    MatrixIdentity(&HueMatrix);

    double m2 = static_cast<double>(SquareRootOfTwo);
    double xs = 1.0 / m2;
    double xc = 1.0 / m2;
    MatrixRotateX(&HueMatrix, xs, xc);

    double m3 = static_cast<double>(SquareRootOfThree);
    double ys = -1.0 / m3;
    double yc = m2 / m3;
    MatrixRotateY(&HueMatrix, ys, yc);

    double lx, ly, lz;
    MatrixTransformPoint(&HueMatrix, LumaRed, LumaGreen, LumaBlue, &lx, &ly, &lz);
    double zx = lx / lz;
    double zy = ly / lz;
    MatrixShearZ(&HueMatrix, zx, zy);

    float angle = static_cast<float>(static_cast<double>(hue) * static_cast<double>(Pi) /
                                     DegreesPerHalfTurn);
    double sine, cosine;
    MatrixSinCos(static_cast<double>(angle), &sine, &cosine);
    double zs = static_cast<double>(static_cast<float>(sine));
    double zc = static_cast<double>(static_cast<float>(cosine));
    MatrixRotateZ(&HueMatrix, zs, zc);

    MatrixShearZ(&HueMatrix, -zx, -zy);
    MatrixRotateY(&HueMatrix, -ys, yc);
    MatrixRotateX(&HueMatrix, -xs, xc);
    RebuildCoefficients();
}

void ImageProcessor::RebuildCoefficients()
{
    // A pixel passes hue first, then saturation, brightness, contrast, and correction last.
    MatrixMultiply(&ContrastMatrix, &CorrectionMatrix, &CombinedMatrix);
    MatrixMultiply(&BrightnessMatrix, &CombinedMatrix, &CombinedMatrix);
    MatrixMultiply(&SaturationMatrix, &CombinedMatrix, &CombinedMatrix);
    MatrixMultiply(&HueMatrix, &CombinedMatrix, &CombinedMatrix);
    QuantizeCoefficients();
}

void ImageProcessor::QuantizeCoefficients()
{
    // The frame snapshot reads these inside a critical region too, possibly on another
    // processor; each entry moves as one interlocked value, so a snapshot taken beside a
    // rebuild may mix old and new entries for one frame but never sees a torn one.
    KeEnterCriticalRegion();
    for (int k = 0; k < 16; ++k) {
        InterlockedExchange(&FixedMatrix[k], RoundToFixed(CombinedMatrix.M[k / 4][k % 4]));
    }
    KeLeaveCriticalRegion();
}
