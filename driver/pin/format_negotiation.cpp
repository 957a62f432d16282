// The capture pin's format negotiation.
#include "pin/format_negotiation.h"

#include "device/capture_device.h"
#include "pin/capture_pin.h"

namespace {

constexpr ULONG VideoRangeSize = sizeof(KS_DATARANGE_VIDEO);  // 296
constexpr ULONG VideoFormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);  // 152
constexpr ULONG BitmapHeaderSize = sizeof(KS_BITMAPINFOHEADER);           // 40
// Bytes of a KS_VIDEOINFOHEADER before its bitmap header, and of a range before its header.
constexpr ULONG VideoHeaderPrefix = 48;
constexpr ULONG RangePrefix = VideoRangeSize - sizeof(KS_VIDEOINFOHEADER);  // 208
constexpr ULONGLONG LargestULong = 0xFFFFFFFFull;
constexpr ULONGLONG LargestLong = 0x7FFFFFFFull;

// |value| as an unsigned number; defined for every value, the most negative one included.
ULONG Magnitude(LONG value)
{
    return value < 0 ? 0u - static_cast<ULONG>(value) : static_cast<ULONG>(value);
}

// The image bytes of a bitmap header: rows of (biWidth × biBitCount) bits rounded up to
// 32 bits, times |biHeight|. False when they do not fit in 32 bits.
bool ImageBytes(const KS_BITMAPINFOHEADER& header, ULONG* bytes)
{
    ULONGLONG rowBits =
        static_cast<ULONGLONG>(static_cast<ULONG>(header.biWidth)) * header.biBitCount;
    ULONGLONG rowBytes = (rowBits + 31) / 32 * 4;
    if (rowBytes > LargestULong) {
        return false;
    }
    ULONGLONG image = rowBytes * Magnitude(header.biHeight);
    if (image > LargestULong) {
        return false;
    }
    *bytes = static_cast<ULONG>(image);
    return true;
}

// Whether a video header of `biSize` bitmap bytes, behind `prefix` bytes, lies inside a
// structure of `size` bytes, with at least a whole bitmap header to read.
bool HeaderFits(ULONG biSize, ULONG prefix, ULONG size)
{
    return biSize >= BitmapHeaderSize &&
           static_cast<ULONGLONG>(prefix) + VideoHeaderPrefix + biSize <= size;
}

// The camera's offered range. Window sets through any filter of the camera rewrite it, also
// while another filter negotiates or creates a pin, so it is copied under the device lock.
KS_DATARANGE_VIDEO OfferedRange(PKSDEVICE ksDevice, const KSDATARANGE* range)
{
    const auto& offered = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
    CaptureDevice* device = ksDevice == nullptr ? nullptr : CaptureDevice::FromKsDevice(ksDevice);
    if (device == nullptr) {
        return offered;
    }
    DeviceLockGuard guard(&device->Lock);
    return offered;
}

}  // namespace

NTSTATUS NTAPI IntersectHandler(PVOID filter, PIRP, PKSP_PIN, PKSDATARANGE callerRange,
                                PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                                PULONG dataSize)
{
    const KS_DATARANGE_VIDEO offered =
        OfferedRange(filter == nullptr ? nullptr : KsGetDevice(filter), descriptorRange);
    const KS_DATARANGE_VIDEO* ours = &offered;
    auto* theirs = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
    if (!IsEqualGUID(callerRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        return STATUS_NO_MATCH;
    }
    if (callerRange->FormatSize < VideoRangeSize) {
        return STATUS_NO_MATCH;
    }
    if (theirs->bFixedSizeSamples != ours->bFixedSizeSamples ||
        theirs->bTemporalCompression != ours->bTemporalCompression ||
        theirs->StreamDescriptionFlags != ours->StreamDescriptionFlags ||
        theirs->MemoryAllocationFlags != ours->MemoryAllocationFlags ||
        !RtlEqualMemory(&theirs->ConfigCaps, &ours->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS))) {
        return STATUS_NO_MATCH;
    }
    // The result is a KSDATAFORMAT and the caller's whole video header; the image size is
    // written into its bitmap header, so that header must be complete.
    ULONG biSize = theirs->VideoInfoHeader.bmiHeader.biSize;
    ULONG image;
    if (!HeaderFits(biSize, RangePrefix, callerRange->FormatSize) ||
        !ImageBytes(theirs->VideoInfoHeader.bmiHeader, &image)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Below the range's FormatSize, which the check above bounds: no overflow.
    ULONG headerSize = VideoHeaderPrefix + biSize;
    ULONG resultSize = sizeof(KSDATAFORMAT) + headerSize;
    if (bufferSize == 0) {
        *dataSize = resultSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < resultSize) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *dataSize = resultSize;
    auto* format = static_cast<PKSDATAFORMAT>(data);
    RtlCopyMemory(format, &ours->DataRange, sizeof(KSDATAFORMAT));
    format->FormatSize = resultSize;
    format->SampleSize = image;
    auto* header = reinterpret_cast<PKS_VIDEOINFOHEADER>(format + 1);
    RtlCopyMemory(header, &theirs->VideoInfoHeader, headerSize);
    header->bmiHeader.biSizeImage = image;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                             const KSDATARANGE* range, const KSATTRIBUTE_LIST*)
{
    // Nothing of the pin changes until the format has passed every check: a refused format
    // leaves the pin delivering exactly as before.
    PKSDATAFORMAT format = pin->ConnectionFormat;
    if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        format->FormatSize < VideoFormatSize) {
        return STATUS_NO_MATCH;
    }
    auto* header = reinterpret_cast<PKS_VIDEOINFOHEADER>(format + 1);
    if (!HeaderFits(header->bmiHeader.biSize, sizeof(KSDATAFORMAT), format->FormatSize)) {
        return STATUS_INVALID_PARAMETER;
    }
    const KS_BITMAPINFOHEADER offered =
        OfferedRange(KsGetDevice(pin), range).VideoInfoHeader.bmiHeader;
    const KS_BITMAPINFOHEADER& asked = header->bmiHeader;
    if (asked.biWidth < offered.biWidth || Magnitude(asked.biHeight) != Magnitude(offered.biHeight) ||
        asked.biCompression != offered.biCompression) {
        return STATUS_NO_MATCH;
    }
    // Rows of biWidth 32-bit pixels: the image is exactly stride × |biHeight| bytes, and the
    // stride must fit the pin's signed row pitch.
    ULONGLONG stride = static_cast<ULONGLONG>(static_cast<ULONG>(asked.biWidth)) * 4;
    ULONGLONG image = stride * Magnitude(asked.biHeight);
    if (stride > LargestLong || asked.biSizeImage != image) {
        return STATUS_INVALID_PARAMETER;
    }
    if (oldFormat == nullptr) {
        return STATUS_SUCCESS;  // the pin's Create takes the format over
    }
    if (pin->DeviceState != KSSTATE_STOP) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    CapturePin* capture = CapturePin::FromKsPin(pin);
    if (capture != nullptr) {
        CopyConnectionFormat(capture);
    }
    return STATUS_SUCCESS;
}

PKS_VIDEOINFOHEADER CopyConnectionFormat(CapturePin* pin)
{
    PKSDATAFORMAT format = pin->Pin->ConnectionFormat;
    auto* header = reinterpret_cast<const KS_VIDEOINFOHEADER*>(format + 1);
    ULONG biSize = header->bmiHeader.biSize;
    ULONG size = biSize > sizeof(KS_BITMAPINFOHEADER) ? sizeof(KS_VIDEOINFOHEADER)
                                                      : biSize + VideoHeaderPrefix;
    RtlCopyMemory(&pin->VideoInfo, header, size);
    // SetDataFormat accepted the format: biWidth × 4 fits a LONG.
    pin->DestinationStride =
        static_cast<LONG>(static_cast<ULONG>(pin->VideoInfo.bmiHeader.biWidth) * 4);
    return &pin->VideoInfo;
}
