// The video format a camera offers: one uncompressed 32-bit RGB range at the camera's output
// size and 30 frames per second. Each camera has its own range, and its own pin and filter
// descriptors that point to it, so two cameras of different geometry never advertise each
// other's size.
#pragma once

#include "device/streaming_headers.h"

constexpr LONG OfferedFrameRate = 30;

// The range as the driver first offers it, before the camera's geometry is applied.
extern const KS_DATARANGE_VIDEO InitialVideoDataRange;

// Rewrites the size-dependent fields for width × height at `framesPerSecond` (below 1: 30).
void UpdateVideoFormat(KS_DATARANGE_VIDEO* range, ULONG width, ULONG height, LONG framesPerSecond);

// The per-camera format and the descriptors built around it.
struct CameraFormats {
    KS_DATARANGE_VIDEO VideoDataRange;
    PKSDATARANGE DataRanges[1];
    KSPIN_DESCRIPTOR_EX PinDescriptor;
    KSFILTER_DESCRIPTOR FilterDescriptor;
};

// Fills the camera's copies from the driver's constant tables and links them together.
void InitializeCameraFormats(CameraFormats* formats);
