// The offered RGB32 video range, its per-geometry fields, and the per-camera descriptors.
#include "pin/video_format.h"

#include "device/descriptor_tables.h"

const KS_DATARANGE_VIDEO InitialVideoDataRange = {
    // KSDATARANGE
    {{sizeof(KS_DATARANGE_VIDEO),
      0,
      1443840,
      0,
      {STATIC_KSDATAFORMAT_TYPE_VIDEO},
      {STATIC_KSDATAFORMAT_SUBTYPE_RGB32},
      {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO}}},
    1,  // bFixedSizeSamples
    1,  // bTemporalCompression
    0,  // StreamDescriptionFlags
    0,  // MemoryAllocationFlags
    // KS_VIDEO_STREAM_CONFIG_CAPS
    {
        {STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO},
        0,           // VideoStandard
        {752, 480},  // InputSize
        {752, 480},  // MinCroppingSize
        {752, 480},  // MaxCroppingSize
        8,           // CropGranularityX
        1,           // CropGranularityY
        8,           // CropAlignX
        1,           // CropAlignY
        {752, 480},  // MinOutputSize
        {752, 480},  // MaxOutputSize
        8,           // OutputGranularityX
        1,           // OutputGranularityY
        0,           // StretchTapsX
        0,           // StretchTapsY
        0,           // ShrinkTapsX
        0,           // ShrinkTapsY
        333667,      // MinFrameInterval
        640000000,   // MaxFrameInterval
        346521600,   // MinBitsPerSecond
        346521600,   // MaxBitsPerSecond
    },
    // KS_VIDEOINFOHEADER
    {
        {0, 0, 752, 480},  // rcSource
        {0, 0, 0, 0},      // rcTarget
        43315200,          // dwBitRate
        0,                 // dwBitErrorRate
        333667,            // AvgTimePerFrame
        {sizeof(KS_BITMAPINFOHEADER), 752, 480, 1, 32, KS_BI_RGB, 1443840, 0, 0, 0, 0},
    },
};

void UpdateVideoFormat(KS_DATARANGE_VIDEO* range, ULONG width, ULONG height, LONG framesPerSecond)
{
    if (framesPerSecond < 1) {
        framesPerSecond = OfferedFrameRate;
    }
    ULONG rate = static_cast<ULONG>(framesPerSecond);
    ULONG imageSize = width * height * 4;
    LONGLONG interval = 10000000LL / framesPerSecond;
    SIZE size = {static_cast<LONG>(width), static_cast<LONG>(height)};
    KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
    KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
    range->DataRange.SampleSize = imageSize;
    caps.InputSize = size;
    caps.MinCroppingSize = size;
    caps.MaxCroppingSize = size;
    caps.MinOutputSize = size;
    caps.MaxOutputSize = size;
    caps.MinFrameInterval = interval;
    caps.MaxFrameInterval = interval;
    caps.MinBitsPerSecond = static_cast<LONG>(width * height * rate * 32);
    caps.MaxBitsPerSecond = caps.MinBitsPerSecond;
    info.rcSource.right = static_cast<LONG>(width);
    info.rcSource.bottom = static_cast<LONG>(height);
    info.dwBitRate = width * height * 120;
    info.AvgTimePerFrame = interval;
    info.bmiHeader.biWidth = static_cast<LONG>(width);
    info.bmiHeader.biHeight = static_cast<LONG>(height);
    info.bmiHeader.biSizeImage = imageSize;
}

void InitializeCameraFormats(CameraFormats* formats)
{
    formats->VideoDataRange = InitialVideoDataRange;
    formats->DataRanges[0] = &formats->VideoDataRange.DataRange;
    formats->PinDescriptor = PinDescriptorTemplate;
    formats->PinDescriptor.PinDescriptor.DataRanges = formats->DataRanges;
    formats->PinDescriptor.PinDescriptor.DataRangesCount = 1;
    formats->FilterDescriptor = FilterDescriptorTemplate;
    formats->FilterDescriptor.PinDescriptors = &formats->PinDescriptor;
}
