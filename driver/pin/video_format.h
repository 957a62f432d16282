// The video formats a camera offers: one KS_DATARANGE_VIDEO per output format at the camera's
// output size and 30 frames per second. 32-bit RGB comes first and is the default; then 24-bit
// RGB (bottom-up), YUY2 and NV12 (BT.601 limited range; NV12 only for an even height) and the
// raw 8-bit Bayer samples.
//
// Each camera has its own ranges and its own pin and filter descriptors that point to them, so
// two cameras of different geometry never advertise each other's size. The framework reads a
// camera's ranges on request threads of every filter open on it, with no lock the driver could
// share, so the ranges it can reach never change: each output size (and Bayer order) gets its
// own set, built once and published by one exchange of the filter descriptor's pin descriptor
// pointer. A set stays valid until the device is destroyed, because a request that read the
// pointer just before a window change may still be reading the set it found.
#pragma once

#include "device/streaming_headers.h"
#include "imaging/output_formats.h"

constexpr LONG OfferedFrameRate = 30;

// The range as the driver first offers it, before the camera's geometry is applied.
extern const KS_DATARANGE_VIDEO InitialVideoDataRange;

// The raw Bayer subtypes, named by a FOURCC that spells the sample order of the image's
// top-left 2 x 2 block, row by row: BayerPhase 0 "GRBG", 1 "BA81" (B G / G R), 2 "RGGB",
// 3 "GBRG". Each is also the biCompression of its format.
ULONG BayerFourcc(ULONG bayerPhase);

// What identifies an output format in a format or range.
struct VideoFormatIdentity {
    GUID SubFormat;
    ULONG Compression;  // biCompression
    USHORT BitCount;    // biBitCount
};
// The identity of `format` (an OutputFormat) for a frame of Bayer phase `bayerPhase`.
VideoFormatIdentity IdentityOfFormat(ULONG format, ULONG bayerPhase);
// The OutputFormat a subtype names, OutputFormatCount for none of ours.
ULONG FormatOfSubtype(const GUID& subFormat);
// The OutputFormat a bitmap header describes (biCompression and biBitCount), OutputFormatCount
// for none of ours.
ULONG FormatOfBitmapHeader(const KS_BITMAPINFOHEADER& header);

// Writes the range of `format` for width × height at `framesPerSecond` (below 1: 30) with the
// Bayer order of `bayerPhase`. FALSE (range untouched) when the format refuses the size.
BOOLEAN BuildVideoDataRange(KS_DATARANGE_VIDEO* range, ULONG format, ULONG width, ULONG height,
                            ULONG bayerPhase, LONG framesPerSecond);

// One published set of ranges and the pin descriptor that lists them. Never written once
// published.
struct OfferedFormats {
    OfferedFormats* Next;  // the camera's other sets
    ULONG Width;
    ULONG Height;
    ULONG BayerPhase;
    KSPIN_DESCRIPTOR_EX PinDescriptor;
    // The offered formats in offer order; DataRanges[i] is &Ranges[i].DataRange.
    ULONG Formats[OutputFormatCount];
    PKSDATARANGE DataRanges[OutputFormatCount];
    KS_DATARANGE_VIDEO Ranges[OutputFormatCount];
    ULONG RangeCount;
};

// The per-camera descriptors and every set of ranges it has published.
struct CameraFormats {
    // The first set lives here; later sizes get their own from the pool.
    OfferedFormats InitialSet;
    // The published set; changed by exchange only, under the device lock. The sets from the
    // pool hang off InitialSet.Next and are freed with the camera.
    OfferedFormats* volatile Current;
    KSFILTER_DESCRIPTOR FilterDescriptor;
};

// Fills the camera's copies from the driver's constant tables and links them together.
void InitializeCameraFormats(CameraFormats* formats);
// Publishes the ranges of width × height with the Bayer order of `bayerPhase` at
// `framesPerSecond` (below 1: 30), reusing the set of an earlier publication of the same
// size and order. Under the device lock (or before the camera has a filter). When no memory
// is left for a new set the published one stays, and the negotiation refuses it because its
// size is not the camera's.
void PublishVideoFormats(CameraFormats* formats, ULONG width, ULONG height, ULONG bayerPhase,
                         LONG framesPerSecond);
// The published set (read once, with acquire semantics).
const OfferedFormats* CurrentFormats(const CameraFormats* formats);
// The published range of `format`, or null when the set does not offer it.
const KS_DATARANGE_VIDEO* OfferedRange(const OfferedFormats* set, ULONG format);
// Frees the pool sets at the camera's end.
void ReleaseCameraFormats(CameraFormats* formats);
