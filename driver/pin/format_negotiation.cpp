// The capture pin's format negotiation.
#include "pin/format_negotiation.h"

#include "device/capture_device.h"
#include "pin/capture_pin.h"

namespace {

constexpr ULONG VideoRangeSize = sizeof(KS_DATARANGE_VIDEO);  // 296
constexpr ULONG VideoFormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);  // 152
// Bytes of a KS_VIDEOINFOHEADER before its bitmap header, and of a range before its header.
constexpr ULONG VideoHeaderPrefix = 48;
constexpr ULONG RangePrefix = VideoRangeSize - sizeof(KS_VIDEOINFOHEADER);  // 208

ULONG ImageBytes(const KS_BITMAPINFOHEADER& header)
{
    ULONG rowBytes = (static_cast<ULONG>(header.biWidth) * header.biBitCount + 31) / 32 * 4;
    LONG height = header.biHeight < 0 ? -header.biHeight : header.biHeight;
    return rowBytes * static_cast<ULONG>(height);
}

// a + b, false when it overflows 32 bits.
bool Add(ULONG a, ULONG b, ULONG* sum)
{
    *sum = a + b;
    return *sum >= a;
}

LONG Magnitude(LONG value)
{
    return value < 0 ? -value : value;
}

// The bitmap header of the camera's offered range. Window sets through any filter of the camera
// rewrite it, also while a pin is being created on another filter, so it is copied under the
// device lock.
KS_BITMAPINFOHEADER OfferedBitmap(PKSPIN pin, const KSDATARANGE* range)
{
    const KS_BITMAPINFOHEADER& bitmap =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(range)->VideoInfoHeader.bmiHeader;
    CaptureDevice* device = CaptureDevice::FromKsDevice(KsGetDevice(pin));
    if (device == nullptr) {
        return bitmap;
    }
    DeviceLockGuard guard(&device->Lock);
    return bitmap;
}

}  // namespace

NTSTATUS NTAPI IntersectHandler(PVOID, PIRP, PKSP_PIN, PKSDATARANGE callerRange,
                                PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                                PULONG dataSize)
{
    auto* ours = reinterpret_cast<const KS_DATARANGE_VIDEO*>(descriptorRange);
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
    ULONG headerSize;
    ULONG rangeSize;
    ULONG biSize = theirs->VideoInfoHeader.bmiHeader.biSize;
    if (!Add(biSize, VideoHeaderPrefix, &headerSize) || !Add(headerSize, RangePrefix, &rangeSize) ||
        rangeSize > callerRange->FormatSize) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG resultSize = headerSize + sizeof(KSDATAFORMAT);
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
    auto* header = reinterpret_cast<PKS_VIDEOINFOHEADER>(format + 1);
    RtlCopyMemory(header, &theirs->VideoInfoHeader, headerSize);
    ULONG image = ImageBytes(header->bmiHeader);
    format->SampleSize = image;
    header->bmiHeader.biSizeImage = image;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                             const KSDATARANGE* range, const KSATTRIBUTE_LIST*)
{
    CapturePin* capture = CapturePin::FromKsPin(pin);
    if (oldFormat != nullptr && capture != nullptr) {
        capture->DestinationStride = 0;
    }
    PKSDATAFORMAT format = pin->ConnectionFormat;
    if (!IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) ||
        format->FormatSize < VideoFormatSize) {
        return STATUS_NO_MATCH;
    }
    auto* header = reinterpret_cast<PKS_VIDEOINFOHEADER>(format + 1);
    ULONG headerSize;
    ULONG formatSize;
    if (!Add(header->bmiHeader.biSize, VideoHeaderPrefix, &headerSize) ||
        !Add(headerSize, sizeof(KSDATAFORMAT), &formatSize) || formatSize > format->FormatSize) {
        return STATUS_INVALID_PARAMETER;
    }
    const KS_BITMAPINFOHEADER offered = OfferedBitmap(pin, range);
    const KS_BITMAPINFOHEADER& asked = header->bmiHeader;
    if (asked.biWidth < offered.biWidth || Magnitude(asked.biHeight) != Magnitude(offered.biHeight) ||
        asked.biCompression != offered.biCompression) {
        return STATUS_NO_MATCH;
    }
    ULONGLONG needed = static_cast<ULONGLONG>(static_cast<ULONG>(asked.biWidth)) *
                       static_cast<ULONG>(Magnitude(asked.biHeight)) * 4;
    if (asked.biSizeImage < needed) {
        return STATUS_INVALID_PARAMETER;
    }
    if (capture != nullptr) {
        capture->DestinationStride = asked.biWidth * 4;
    }
    if (oldFormat == nullptr) {
        return STATUS_SUCCESS;
    }
    if (pin->DeviceState != KSSTATE_STOP) {
        return STATUS_INVALID_DEVICE_STATE;
    }
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
    return &pin->VideoInfo;
}
