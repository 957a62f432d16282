// Kernel streaming media types: categories, pin names and the video format structures.
#pragma once

#include "ks.h"

#define STATIC_KSCATEGORY_VIDEO                                                                    \
    0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_KSCATEGORY_CAPTURE                                                                  \
    0x65E8773D, 0x8F56, 0x11D0, 0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96
#define STATIC_PINNAME_VIDEO_CAPTURE                                                               \
    0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA
#define STATIC_KSDATAFORMAT_TYPE_VIDEO                                                             \
    0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB32                                                          \
    0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
#define STATIC_KSDATAFORMAT_SUBTYPE_RGB24                                                          \
    0xE436EB7D, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70
// Subtypes named by a FOURCC: the code in the first field, the rest that of every such type.
#define STATIC_KSDATAFORMAT_SUBTYPE_YUY2                                                           \
    0x32595559, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
#define STATIC_KSDATAFORMAT_SUBTYPE_NV12                                                           \
    0x3231564E, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71
#define STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO                                                    \
    0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A

inline constexpr GUID KSCATEGORY_VIDEO = STATIC_GUID_INIT(STATIC_KSCATEGORY_VIDEO);
inline constexpr GUID KSCATEGORY_CAPTURE = STATIC_GUID_INIT(STATIC_KSCATEGORY_CAPTURE);
inline constexpr GUID PINNAME_VIDEO_CAPTURE = STATIC_GUID_INIT(STATIC_PINNAME_VIDEO_CAPTURE);
inline constexpr GUID KSDATAFORMAT_TYPE_VIDEO = STATIC_GUID_INIT(STATIC_KSDATAFORMAT_TYPE_VIDEO);
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RGB32 =
    STATIC_GUID_INIT(STATIC_KSDATAFORMAT_SUBTYPE_RGB32);
inline constexpr GUID KSDATAFORMAT_SUBTYPE_RGB24 =
    STATIC_GUID_INIT(STATIC_KSDATAFORMAT_SUBTYPE_RGB24);
inline constexpr GUID KSDATAFORMAT_SUBTYPE_YUY2 = STATIC_GUID_INIT(STATIC_KSDATAFORMAT_SUBTYPE_YUY2);
inline constexpr GUID KSDATAFORMAT_SUBTYPE_NV12 = STATIC_GUID_INIT(STATIC_KSDATAFORMAT_SUBTYPE_NV12);
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO =
    STATIC_GUID_INIT(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);

typedef LONGLONG REFERENCE_TIME;

typedef struct tagKS_RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} KS_RECT;
typedef KS_RECT RECT;

typedef struct tagKS_SIZE {
    LONG cx;
    LONG cy;
} SIZE;

#define KS_BI_RGB 0L
#define KS_BI_BITFIELDS 3L

// The dropped-frame property set of a capture pin.
#define STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES                                                      \
    0xC6E13344, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
inline constexpr GUID PROPSETID_VIDCAP_DROPPEDFRAMES =
    STATIC_GUID_INIT(STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES);

typedef enum {
    KSPROPERTY_DROPPEDFRAMES_CURRENT
} KSPROPERTY_VIDCAP_DROPPEDFRAMES;

typedef struct {
    KSPROPERTY Property;
    LONGLONG PictureNumber DECLSPEC_ALIGN8;
    LONGLONG DropCount DECLSPEC_ALIGN8;
    ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48,
              "KSPROPERTY_DROPPEDFRAMES_CURRENT_S layout");
static_assert(offsetof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, PictureNumber) == 24,
              "KSPROPERTY_DROPPEDFRAMES_CURRENT_S layout");
static_assert(offsetof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S, AverageFrameSize) == 40,
              "KSPROPERTY_DROPPEDFRAMES_CURRENT_S layout");

// The frame information that follows a video frame's KSSTREAM_HEADER when the pin asks for the
// longer stream header.
#define KS_VIDEO_FLAG_FRAME 0x0000L
#define KS_VIDEO_FLAG_FIELD1 0x0001L
#define KS_VIDEO_FLAG_FIELD2 0x0002L
#define KS_VIDEO_FLAG_I_FRAME 0x0000L
#define KS_VIDEO_FLAG_P_FRAME 0x0010L
#define KS_VIDEO_FLAG_B_FRAME 0x0020L

typedef struct tagKS_FRAME_INFO {
    ULONG ExtendedHeaderSize;
    DWORD dwFrameFlags;
    LONGLONG PictureNumber DECLSPEC_ALIGN8;
    LONGLONG DropCount DECLSPEC_ALIGN8;
    HANDLE hDirectDraw;
    HANDLE hSurfaceHandle;
    RECT DirectDrawRect;
    union {
        LONG lSurfacePitch;
        DWORD Reserved1;
    };
    DWORD Reserved2;
    union {
        struct {
            DWORD Reserved3;
            DWORD Reserved4;
        };
        ULONGLONG FrameCompletionNumber DECLSPEC_ALIGN8;
    };
} KS_FRAME_INFO, *PKS_FRAME_INFO;
static_assert(offsetof(KS_FRAME_INFO, PictureNumber) == 8, "KS_FRAME_INFO layout");
static_assert(offsetof(KS_FRAME_INFO, hDirectDraw) == 24, "KS_FRAME_INFO layout");

typedef struct tagKS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "KS_BITMAPINFOHEADER layout");

typedef struct tagKS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame DECLSPEC_ALIGN8;
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88, "KS_VIDEOINFOHEADER layout");
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48, "KS_VIDEOINFOHEADER layout");

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval DECLSPEC_ALIGN8;
    LONGLONG MaxFrameInterval DECLSPEC_ALIGN8;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS layout");

typedef struct tagKS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    BOOL bFixedSizeSamples;
    BOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO layout");

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER layout");

// The standard video property sets capture applications use: image processing ("video proc amp")
// and camera control. Each item's record carries the value, how it is controlled (Flags) and
// which control modes the item has (Capabilities).
#define STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP                                                       \
    0xC6E13360, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
#define STATIC_PROPSETID_VIDCAP_CAMERACONTROL                                                      \
    0xC6E13370, 0x30AC, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
inline constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP =
    STATIC_GUID_INIT(STATIC_PROPSETID_VIDCAP_VIDEOPROCAMP);
inline constexpr GUID PROPSETID_VIDCAP_CAMERACONTROL =
    STATIC_GUID_INIT(STATIC_PROPSETID_VIDCAP_CAMERACONTROL);

typedef enum {
    KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS,
    KSPROPERTY_VIDEOPROCAMP_CONTRAST,
    KSPROPERTY_VIDEOPROCAMP_HUE,
    KSPROPERTY_VIDEOPROCAMP_SATURATION,
    KSPROPERTY_VIDEOPROCAMP_SHARPNESS,
    KSPROPERTY_VIDEOPROCAMP_GAMMA,
    KSPROPERTY_VIDEOPROCAMP_COLORENABLE,
    KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE,
    KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION,
    KSPROPERTY_VIDEOPROCAMP_GAIN,
    KSPROPERTY_VIDEOPROCAMP_DIGITAL_MULTIPLIER,
    KSPROPERTY_VIDEOPROCAMP_DIGITAL_MULTIPLIER_LIMIT,
    KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE_COMPONENT,
    KSPROPERTY_VIDEOPROCAMP_POWERLINE_FREQUENCY
} KSPROPERTY_VIDCAP_VIDEOPROCAMP;

#define KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO 0x0001L
#define KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL 0x0002L

typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40, "KSPROPERTY_VIDEOPROCAMP_S layout");

typedef struct {
    KSP_NODE NodeProperty;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_NODE_S, *PKSPROPERTY_VIDEOPROCAMP_NODE_S;

// The two-value record (white balance components: Value1 red, Value2 blue).
typedef struct {
    KSPROPERTY Property;
    LONG Value1;
    ULONG Flags;
    ULONG Capabilities;
    LONG Value2;
} KSPROPERTY_VIDEOPROCAMP_S2, *PKSPROPERTY_VIDEOPROCAMP_S2;

typedef enum {
    KSPROPERTY_CAMERACONTROL_PAN,
    KSPROPERTY_CAMERACONTROL_TILT,
    KSPROPERTY_CAMERACONTROL_ROLL,
    KSPROPERTY_CAMERACONTROL_ZOOM,
    KSPROPERTY_CAMERACONTROL_EXPOSURE,
    KSPROPERTY_CAMERACONTROL_IRIS,
    KSPROPERTY_CAMERACONTROL_FOCUS
} KSPROPERTY_VIDCAP_CAMERACONTROL;

#define KSPROPERTY_CAMERACONTROL_FLAGS_AUTO 0x0001L
#define KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL 0x0002L
#define KSPROPERTY_CAMERACONTROL_FLAGS_ABSOLUTE 0x0000L
#define KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE 0x0010L

typedef struct {
    KSPROPERTY Property;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_CAMERACONTROL_S, *PKSPROPERTY_CAMERACONTROL_S;

typedef struct {
    KSP_NODE NodeProperty;
    LONG Value;
    ULONG Flags;
    ULONG Capabilities;
} KSPROPERTY_CAMERACONTROL_NODE_S, *PKSPROPERTY_CAMERACONTROL_NODE_S;

// The video control property set: image flips, the external trigger and the frame rates a
// stream offers. Each record names the stream (the pin's index) it is about.
#define STATIC_PROPSETID_VIDCAP_VIDEOCONTROL                                                       \
    0x6A2E0670, 0x28E4, 0x11D0, 0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56
inline constexpr GUID PROPSETID_VIDCAP_VIDEOCONTROL =
    STATIC_GUID_INIT(STATIC_PROPSETID_VIDCAP_VIDEOCONTROL);

typedef enum {
    KSPROPERTY_VIDEOCONTROL_CAPS,
    KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE,
    KSPROPERTY_VIDEOCONTROL_FRAME_RATES,
    KSPROPERTY_VIDEOCONTROL_MODE
} KSPROPERTY_VIDCAP_VIDEOCONTROL;

typedef enum {
    KS_VideoControlFlag_FlipHorizontal = 0x0001,
    KS_VideoControlFlag_FlipVertical = 0x0002,
    KS_Obsolete_VideoControlFlag_ExternalTriggerEnable = 0x0010,
    KS_Obsolete_VideoControlFlag_Trigger = 0x0020,
    KS_VideoControlFlag_ExternalTriggerEnable = 0x0004,
    KS_VideoControlFlag_Trigger = 0x0008
} KS_VideoControlFlags;

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG VideoControlCaps;
} KSPROPERTY_VIDEOCONTROL_CAPS_S, *PKSPROPERTY_VIDEOCONTROL_CAPS_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32, "KSPROPERTY_VIDEOCONTROL_CAPS_S layout");

typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    LONG Mode;
} KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32, "KSPROPERTY_VIDEOCONTROL_MODE_S layout");

// Frame rates are frame intervals in 100 ns units.
typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
    LONGLONG CurrentActualFrameRate DECLSPEC_ALIGN8;
    LONGLONG CurrentMaxAvailableFrameRate DECLSPEC_ALIGN8;
} KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, *PKSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S) == 56,
              "KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S layout");
static_assert(offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, Dimensions) == 32,
              "KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S layout");
static_assert(offsetof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S, CurrentActualFrameRate) == 40,
              "KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S layout");

// The request of the frame-rate list; the answer is a KSMULTIPLE_ITEM of LONGLONG intervals.
typedef struct {
    KSPROPERTY Property;
    ULONG StreamIndex;
    ULONG RangeIndex;
    SIZE Dimensions;
} KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S, *PKSPROPERTY_VIDEOCONTROL_FRAME_RATES_S;
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S) == 40,
              "KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S layout");
