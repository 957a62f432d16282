// The offered video ranges, their per-geometry fields, and the per-camera descriptors.
#include "pin/video_format.h"

#include "device/descriptor_tables.h"
#include "device/pool_tags.h"

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

namespace {

// The subtypes, from the platform's STATIC_ forms (its kernel headers declare no GUID objects
// for them).
const GUID SubtypeRgb32 = {STATIC_KSDATAFORMAT_SUBTYPE_RGB32};
const GUID SubtypeRgb24 = {STATIC_KSDATAFORMAT_SUBTYPE_RGB24};
const GUID SubtypeYuy2 = {STATIC_KSDATAFORMAT_SUBTYPE_YUY2};
const GUID SubtypeNv12 = {STATIC_KSDATAFORMAT_SUBTYPE_NV12};

constexpr ULONG Fourcc(char a, char b, char c, char d)
{
    return static_cast<ULONG>(static_cast<UCHAR>(a)) |
           static_cast<ULONG>(static_cast<UCHAR>(b)) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(c)) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(d)) << 24;
}

// FOURCC subtypes share every field but the first with SubtypeYuy2.
GUID FourccSubtype(ULONG fourcc)
{
    GUID subtype = SubtypeYuy2;
    subtype.Data1 = fourcc;
    return subtype;
}

constexpr ULONG BayerFourccs[4] = {Fourcc('G', 'R', 'B', 'G'), Fourcc('B', 'A', '8', '1'),
                                   Fourcc('R', 'G', 'G', 'B'), Fourcc('G', 'B', 'R', 'G')};
constexpr ULONG Yuy2Fourcc = Fourcc('Y', 'U', 'Y', '2');
constexpr ULONG Nv12Fourcc = Fourcc('N', 'V', '1', '2');

// The offer order: the first range is the default.
constexpr ULONG OfferOrder[OutputFormatCount] = {OutputFormatRgb32, OutputFormatRgb24,
                                                 OutputFormatYuy2, OutputFormatNv12,
                                                 OutputFormatBayer8};

void BuildSet(OfferedFormats* set, ULONG width, ULONG height, ULONG bayerPhase,
              LONG framesPerSecond)
{
    set->Width = width;
    set->Height = height;
    set->BayerPhase = bayerPhase;
    set->RangeCount = 0;
    for (ULONG format : OfferOrder) {
        ULONG index = set->RangeCount;
        if (BuildVideoDataRange(&set->Ranges[index], format, width, height, bayerPhase,
                                framesPerSecond)) {
            set->Formats[index] = format;
            set->DataRanges[index] = &set->Ranges[index].DataRange;
            ++set->RangeCount;
        }
    }
    set->PinDescriptor = PinDescriptorTemplate;
    set->PinDescriptor.PinDescriptor.DataRanges = set->DataRanges;
    set->PinDescriptor.PinDescriptor.DataRangesCount = set->RangeCount;
}

}  // namespace

ULONG BayerFourcc(ULONG bayerPhase)
{
    return BayerFourccs[bayerPhase <= 2 ? bayerPhase : 3];
}

VideoFormatIdentity IdentityOfFormat(ULONG format, ULONG bayerPhase)
{
    switch (format) {
    case OutputFormatRgb24: return {SubtypeRgb24, KS_BI_RGB, 24};
    case OutputFormatYuy2: return {SubtypeYuy2, Yuy2Fourcc, 16};
    case OutputFormatNv12: return {SubtypeNv12, Nv12Fourcc, 12};
    case OutputFormatBayer8: {
        ULONG fourcc = BayerFourcc(bayerPhase);
        return {FourccSubtype(fourcc), fourcc, 8};
    }
    default: return {SubtypeRgb32, KS_BI_RGB, 32};
    }
}

ULONG FormatOfSubtype(const GUID& subFormat)
{
    if (IsEqualGUID(subFormat, SubtypeRgb32)) {
        return OutputFormatRgb32;
    }
    if (IsEqualGUID(subFormat, SubtypeRgb24)) {
        return OutputFormatRgb24;
    }
    if (IsEqualGUID(subFormat, SubtypeYuy2)) {
        return OutputFormatYuy2;
    }
    if (IsEqualGUID(subFormat, SubtypeNv12)) {
        return OutputFormatNv12;
    }
    for (ULONG fourcc : BayerFourccs) {
        if (IsEqualGUID(subFormat, FourccSubtype(fourcc))) {
            return OutputFormatBayer8;
        }
    }
    return OutputFormatCount;
}

ULONG FormatOfBitmapHeader(const KS_BITMAPINFOHEADER& header)
{
    for (ULONG format = 0; format < OutputFormatCount; ++format) {
        for (ULONG phase = 0; phase < 4; ++phase) {
            VideoFormatIdentity identity = IdentityOfFormat(format, phase);
            if (static_cast<ULONG>(header.biCompression) == identity.Compression &&
                header.biBitCount == identity.BitCount) {
                return format;
            }
        }
    }
    return OutputFormatCount;
}

BOOLEAN BuildVideoDataRange(KS_DATARANGE_VIDEO* range, ULONG format, ULONG width, ULONG height,
                            ULONG bayerPhase, LONG framesPerSecond)
{
    ULONG imageSize = OutputFrameBytes(format, width, height);
    if (imageSize == 0 || width > 0x7FFFFFFFu || height > 0x7FFFFFFFu) {
        return FALSE;
    }
    if (framesPerSecond < 1) {
        framesPerSecond = OfferedFrameRate;
    }
    VideoFormatIdentity identity = IdentityOfFormat(format, bayerPhase);
    ULONGLONG rate = static_cast<ULONGLONG>(framesPerSecond);
    ULONGLONG bitsPerFrame = static_cast<ULONGLONG>(width) * height * identity.BitCount;
    LONGLONG interval = 10000000LL / framesPerSecond;
    SIZE size = {static_cast<LONG>(width), static_cast<LONG>(height)};
    *range = InitialVideoDataRange;
    KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
    KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
    range->DataRange.SubFormat = identity.SubFormat;
    range->DataRange.SampleSize = imageSize;
    caps.InputSize = size;
    caps.MinCroppingSize = size;
    caps.MaxCroppingSize = size;
    caps.MinOutputSize = size;
    caps.MaxOutputSize = size;
    caps.MinFrameInterval = interval;
    caps.MaxFrameInterval = interval;
    // The low 32 bits, as the platform's fields hold them (752 x 480 RGB32 at 30 fits).
    caps.MinBitsPerSecond = static_cast<LONG>(static_cast<ULONG>(bitsPerFrame * rate));
    caps.MaxBitsPerSecond = caps.MinBitsPerSecond;
    info.rcSource.right = size.cx;
    info.rcSource.bottom = size.cy;
    info.dwBitRate = static_cast<ULONG>(bitsPerFrame * rate / 8);
    info.AvgTimePerFrame = interval;
    info.bmiHeader.biWidth = size.cx;
    info.bmiHeader.biHeight = size.cy;  // bottom-up for RGB; YUV and Bayer are top-down always
    info.bmiHeader.biBitCount = identity.BitCount;
    info.bmiHeader.biCompression = static_cast<LONG>(identity.Compression);
    info.bmiHeader.biSizeImage = imageSize;
    return TRUE;
}

void InitializeCameraFormats(CameraFormats* formats)
{
    // The full sensor with the window at the origin: what the first window publishes at Add.
    BuildSet(&formats->InitialSet, 752, 480, 3, OfferedFrameRate);
    formats->InitialSet.Next = nullptr;
    formats->Current = &formats->InitialSet;
    formats->FilterDescriptor = FilterDescriptorTemplate;
    formats->FilterDescriptor.PinDescriptors = &formats->InitialSet.PinDescriptor;
}

void PublishVideoFormats(CameraFormats* formats, ULONG width, ULONG height, ULONG bayerPhase,
                         LONG framesPerSecond)
{
    OfferedFormats* found = nullptr;
    for (OfferedFormats* candidate = &formats->InitialSet; candidate != nullptr;
         candidate = candidate->Next) {
        if (candidate->Width == width && candidate->Height == height &&
            candidate->BayerPhase == bayerPhase) {
            found = candidate;
            break;
        }
    }
    if (found == nullptr) {
        found = static_cast<OfferedFormats*>(
            ExAllocatePoolWithTag(NonPagedPool, sizeof(OfferedFormats), FrameBufferPoolTag));
        if (found == nullptr) {
            return;
        }
        BuildSet(found, width, height, bayerPhase, framesPerSecond);
        found->Next = formats->InitialSet.Next;
        formats->InitialSet.Next = found;
    }
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&formats->Current), found);
    InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<KSPIN_DESCRIPTOR_EX**>(
            &formats->FilterDescriptor.PinDescriptors)),
        &found->PinDescriptor);
}

const OfferedFormats* CurrentFormats(const CameraFormats* formats)
{
    return static_cast<const OfferedFormats*>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<OfferedFormats**>(&formats->Current)),
        nullptr, nullptr));
}

const KS_DATARANGE_VIDEO* OfferedRange(const OfferedFormats* set, ULONG format)
{
    for (ULONG i = 0; i < set->RangeCount; ++i) {
        if (set->Formats[i] == format) {
            return &set->Ranges[i];
        }
    }
    return nullptr;
}

void ReleaseCameraFormats(CameraFormats* formats)
{
    OfferedFormats* set = formats->InitialSet.Next;
    formats->InitialSet.Next = nullptr;
    formats->Current = &formats->InitialSet;
    formats->FilterDescriptor.PinDescriptors = &formats->InitialSet.PinDescriptor;
    while (set != nullptr) {
        OfferedFormats* next = set->Next;
        ExFreePoolWithTag(set, FrameBufferPoolTag);
        set = next;
    }
}
