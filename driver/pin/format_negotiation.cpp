// The capture pin's format negotiation.
#include "pin/format_negotiation.h"

#include "device/capture_device.h"
#include "pin/capture_pin.h"
#include "pin/video_format.h"

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

// What a handler compares a client's range or format with: the range of one format in the
// camera's published set, copied under the device lock so that it belongs to the geometry the
// camera has now.
struct Offer {
    NTSTATUS Status;  // STATUS_SUCCESS when Range holds the offer
    ULONG Format;
    KS_DATARANGE_VIDEO Range;
};

// The current offer of the format `subFormat` names. STATUS_NO_MATCH when the camera does not
// offer it at its present size (NV12 at an odd height, the Bayer order of another window);
// STATUS_INSUFFICIENT_RESOURCES when the published set lags the geometry because no memory was
// left for the set of the new size, then or now. Without a device (a range seen outside a camera) the
// framework's range is taken as it is.
Offer CurrentOffer(PKSDEVICE ksDevice, const KSDATARANGE* range, const GUID& subFormat)
{
    Offer offer{STATUS_NO_MATCH, FormatOfSubtype(subFormat), {}};
    if (offer.Format >= OutputFormatCount) {
        return offer;
    }
    CaptureDevice* device = ksDevice == nullptr ? nullptr : CaptureDevice::FromKsDevice(ksDevice);
    if (device == nullptr) {
        if (range != nullptr && range->FormatSize >= VideoRangeSize &&
            FormatOfSubtype(range->SubFormat) == offer.Format) {
            offer.Range = *reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
            offer.Status = STATUS_SUCCESS;
        }
        return offer;
    }
    DeviceLockGuard guard(&device->Lock);
    if (!RefreshVideoFormats(device)) {
        offer.Status = STATUS_INSUFFICIENT_RESOURCES;
        return offer;
    }
    const OfferedFormats* set = CurrentFormats(&device->Formats);
    const KS_DATARANGE_VIDEO* offered = OfferedRange(set, offer.Format);
    if (offered != nullptr && IsEqualGUID(offered->DataRange.SubFormat, subFormat)) {
        offer.Range = *offered;
        offer.Status = STATUS_SUCCESS;
    }
    return offer;
}

// The image bytes of a format's bitmap header as this pin delivers them, checked against the
// offer: the format's identity, its size, the signs it allows. STATUS_NO_MATCH for a header
// that describes something else, STATUS_INVALID_PARAMETER for sizes that do not fit.
NTSTATUS CheckBitmapHeader(const Offer& offer, const KS_BITMAPINFOHEADER& asked, ULONG* image)
{
    const KS_BITMAPINFOHEADER& offered = offer.Range.VideoInfoHeader.bmiHeader;
    if (asked.biCompression != offered.biCompression || asked.biBitCount != offered.biBitCount ||
        Magnitude(asked.biHeight) != Magnitude(offered.biHeight)) {
        return STATUS_NO_MATCH;
    }
    if (offer.Format == OutputFormatRgb32) {
        // Wider rows are delivered with a wider pitch; either row order is accepted.
        if (asked.biWidth < offered.biWidth) {
            return STATUS_NO_MATCH;
        }
        ULONGLONG stride = static_cast<ULONGLONG>(static_cast<ULONG>(asked.biWidth)) * 4;
        ULONGLONG bytes = stride * Magnitude(asked.biHeight);
        if (stride > LargestLong || bytes > LargestULong) {
            return STATUS_INVALID_PARAMETER;
        }
        *image = static_cast<ULONG>(bytes);
        return STATUS_SUCCESS;
    }
    // The other formats are delivered exactly as converted: the offered width, 24-bit RGB
    // bottom-up only (a positive height), YUV and Bayer top-down whatever the sign.
    if (asked.biWidth != offered.biWidth ||
        (offer.Format == OutputFormatRgb24 && asked.biHeight < 0)) {
        return STATUS_NO_MATCH;
    }
    *image = OutputFrameBytes(offer.Format, static_cast<ULONG>(asked.biWidth),
                              Magnitude(asked.biHeight));
    return *image != 0 ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

}  // namespace

NTSTATUS NTAPI IntersectHandler(PVOID filter, PIRP, PKSP_PIN, PKSDATARANGE callerRange,
                                PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                                PULONG dataSize)
{
    auto* theirs = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
    if (!IsEqualGUID(callerRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        return STATUS_NO_MATCH;
    }
    if (callerRange->FormatSize < VideoRangeSize) {
        return STATUS_NO_MATCH;
    }
    // The framework matched the caller's range with this one; the offer of its format now
    // decides (a wildcard subtype in the caller's range gets the offered one).
    const Offer offer = CurrentOffer(filter == nullptr ? nullptr : KsGetDevice(filter),
                                     descriptorRange, descriptorRange->SubFormat);
    if (!NT_SUCCESS(offer.Status)) {
        return offer.Status;
    }
    const KS_DATARANGE_VIDEO* ours = &offer.Range;
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
    if (!HeaderFits(biSize, RangePrefix, callerRange->FormatSize)) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG image;
    if (offer.Format == OutputFormatRgb32) {
        // The caller's width, height and row order are taken over; SetDataFormat tests them.
        const KS_BITMAPINFOHEADER& asked = theirs->VideoInfoHeader.bmiHeader;
        if (asked.biCompression != ours->VideoInfoHeader.bmiHeader.biCompression ||
            asked.biBitCount != ours->VideoInfoHeader.bmiHeader.biBitCount) {
            return STATUS_NO_MATCH;
        }
        if (!ImageBytes(asked, &image)) {
            return STATUS_INVALID_PARAMETER;
        }
    } else {
        NTSTATUS status = CheckBitmapHeader(offer, theirs->VideoInfoHeader.bmiHeader, &image);
        if (!NT_SUCCESS(status)) {
            return status;
        }
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
    const Offer offer = CurrentOffer(KsGetDevice(pin), range, format->SubFormat);
    if (!NT_SUCCESS(offer.Status)) {
        return offer.Status;
    }
    // The image is exactly what the pin delivers for the header: rows of biWidth pixels of
    // the format, |biHeight| of them.
    ULONG image = 0;
    NTSTATUS status = CheckBitmapHeader(offer, header->bmiHeader, &image);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (header->bmiHeader.biSizeImage != image) {
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
    pin->OutputFormat = FormatOfSubtype(format->SubFormat);
    // SetDataFormat accepted the format: its row bytes fit a LONG.
    ULONG width = static_cast<ULONG>(pin->VideoInfo.bmiHeader.biWidth);
    pin->DestinationStride = static_cast<LONG>(
        pin->OutputFormat == OutputFormatRgb32 ? width * 4 : OutputRowBytes(pin->OutputFormat, width));
    return &pin->VideoInfo;
}
