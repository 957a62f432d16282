// The camera's private property set on the capture filter: every setting, the limits a control
// panel needs for its sliders, read-only facts about the sensor and the stream, and four service
// items that reach the camera's command channel directly.
//
// Requests carry a KSPROPERTY header in the property buffer; the data buffer holds one of three
// value records. A request is a set only when its Flags are exactly KSPROPERTY_TYPE_SET; any
// other flags are answered as a get.
#pragma once

#include "device/streaming_headers.h"

// {3F263C66-0FDA-41D5-9EA8-CF2E342CEFB2}
#define STATIC_CameraPropertySet                                                                   \
    0x3F263C66, 0x0FDA, 0x41D5, 0x9E, 0xA8, 0xCF, 0x2E, 0x34, 0x2C, 0xEF, 0xB2
inline constexpr GUID CameraPropertySet = {STATIC_CameraPropertySet};

// Item ids of the set, by name.
namespace CameraProperty {
enum Id : ULONG {
    ExTrigger = 0,
    Timeout = 1,
    Exposure = 2,
    ExposureMin = 3,
    ExposureMax = 4,
    ExposureDefault = 5,
    GlobalGain = 6,
    GlobalGainMin = 7,
    GlobalGainMax = 8,
    GlobalGainDefault = 9,
    FlipH = 10,
    FlipV = 11,
    ColorEnable = 12,
    WhiteBalance = 13,
    RedGain = 14,
    GreenGain = 15,
    BlueGain = 16,
    ColorGainMin = 17,
    ColorGainMax = 18,
    ColorGainDefault = 19,
    Brightness = 20,
    BrightnessMin = 21,
    BrightnessMax = 22,
    BrightnessDefault = 23,
    Contrast = 24,
    ContrastMin = 25,
    ContrastMax = 26,
    ContrastDefault = 27,
    Saturation = 28,
    SaturationMin = 29,
    SaturationMax = 30,
    SaturationDefault = 31,
    Hue = 32,
    HueMin = 33,
    HueMax = 34,
    HueDefault = 35,
    SubSampleMax = 36,
    SubSample = 37,
    SensorWidth = 38,
    SensorHeight = 39,
    RoiX = 40,
    RoiY = 41,
    RoiW = 42,
    RoiH = 43,
    Window = 44,
    PinOpen = 45,
    Reserved46 = 46,
    Reserved47 = 47,
    ColorCorrection = 48,
    Clock = 49,
    Reserved50 = 50,
    Reserved51 = 51,
    Reserved52 = 52,
    Reserved53 = 53,
    Reserved54 = 54,
    AGC = 55,
    AEC = 56,
    RegisterWrite = 57,
    RegisterRead = 58,
    RawCommand = 59,
    RawRead = 60,
    // Stream statistics (read only): counts of the stream of the pin that last left
    // KSSTATE_STOP, kept after it stops (see capture/stream_statistics.h for each definition).
    FramesRead = 61,
    FramesConverted = 62,
    FramesDelivered = 63,
    FramesRepeated = 64,
    FramesDropped = 65,
    IncompleteFrames = 66,
    TimedOutFrames = 67,
    UsbErrors = 68,
    LastConversionTime = 69,  // microseconds
};
}  // namespace CameraProperty

constexpr ULONG CameraPropertyCount = 70;

// The value record of every item except Window, RawCommand and RawRead.
struct CameraPropertyValue {
    KSPROPERTY Header;  // a copy of the request's header; not read
    LONG Value;         // the result of a get, the new value of a set
    LONG Value2;        // RegisterWrite: the register value; ignored elsewhere
};
static_assert(sizeof(CameraPropertyValue) == 32, "CameraPropertyValue layout");

// The value record of the Window item (set only).
struct CameraWindowRequest {
    KSPROPERTY Header;  // not read
    ULONG SubSample;    // sub-sampling mode; above 2 means 0
    LONG RoiX;          // left edge, sensor pixels
    LONG RoiY;          // top edge, sensor lines
    LONG RoiW;
    LONG RoiH;
    ULONG Reserved;  // not read
};
static_assert(sizeof(CameraWindowRequest) == 48, "CameraWindowRequest layout");

// The value record of RawCommand and RawRead.
struct CameraRawRequest {
    KSPROPERTY Header;  // not read
    LONG Address;       // RawRead set: the data-store address to select
    LONG Length;        // RawCommand set: payload bytes to send (at most 63 are used)
    UCHAR Payload[64];  // RawCommand set: the bytes; RawRead get: byte 0 receives the byte read
};
static_assert(sizeof(CameraRawRequest) == 96, "CameraRawRequest layout");

// Which value record an item uses.
enum CameraPropertyRecord : UCHAR {
    CameraValueRecord,   // CameraPropertyValue
    CameraWindowRecord,  // CameraWindowRequest
    CameraRawRecord,     // CameraRawRequest
};

// One item as tools see it: its id, its name, whether it answers a get and a set, and its record.
struct CameraPropertyInfo {
    ULONG Id;
    const char* Name;
    BOOLEAN CanGet;
    BOOLEAN CanSet;
    CameraPropertyRecord Record;
};

// Every item of the set, in id order (CameraPropertyTable[id].Id == id).
inline constexpr CameraPropertyInfo CameraPropertyTable[CameraPropertyCount] = {
    {CameraProperty::ExTrigger, "ExTrigger", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::Timeout, "Timeout", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::Exposure, "Exposure", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::ExposureMin, "ExposureMin", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::ExposureMax, "ExposureMax", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::ExposureDefault, "ExposureDefault", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::GlobalGain, "GlobalGain", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::GlobalGainMin, "GlobalGainMin", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::GlobalGainMax, "GlobalGainMax", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::GlobalGainDefault, "GlobalGainDefault", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::FlipH, "FlipH", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::FlipV, "FlipV", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::ColorEnable, "ColorEnable", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::WhiteBalance, "WhiteBalance", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::RedGain, "RedGain", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::GreenGain, "GreenGain", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::BlueGain, "BlueGain", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::ColorGainMin, "ColorGainMin", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::ColorGainMax, "ColorGainMax", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::ColorGainDefault, "ColorGainDefault", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Brightness, "Brightness", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::BrightnessMin, "BrightnessMin", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::BrightnessMax, "BrightnessMax", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::BrightnessDefault, "BrightnessDefault", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Contrast, "Contrast", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::ContrastMin, "ContrastMin", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::ContrastMax, "ContrastMax", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::ContrastDefault, "ContrastDefault", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Saturation, "Saturation", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::SaturationMin, "SaturationMin", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::SaturationMax, "SaturationMax", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::SaturationDefault, "SaturationDefault", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Hue, "Hue", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::HueMin, "HueMin", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::HueMax, "HueMax", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::HueDefault, "HueDefault", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::SubSampleMax, "SubSampleMax", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::SubSample, "SubSample", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::SensorWidth, "SensorWidth", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::SensorHeight, "SensorHeight", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::RoiX, "RoiX", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::RoiY, "RoiY", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::RoiW, "RoiW", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::RoiH, "RoiH", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Window, "Window", FALSE, TRUE, CameraWindowRecord},
    {CameraProperty::PinOpen, "PinOpen", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Reserved46, "Reserved46", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Reserved47, "Reserved47", FALSE, TRUE, CameraValueRecord},
    {CameraProperty::ColorCorrection, "ColorCorrection", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::Clock, "Clock", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::Reserved50, "Reserved50", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Reserved51, "Reserved51", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Reserved52, "Reserved52", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Reserved53, "Reserved53", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::Reserved54, "Reserved54", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::AGC, "AGC", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::AEC, "AEC", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::RegisterWrite, "RegisterWrite", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::RegisterRead, "RegisterRead", TRUE, TRUE, CameraValueRecord},
    {CameraProperty::RawCommand, "RawCommand", TRUE, TRUE, CameraRawRecord},
    {CameraProperty::RawRead, "RawRead", TRUE, TRUE, CameraRawRecord},
    {CameraProperty::FramesRead, "FramesRead", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::FramesConverted, "FramesConverted", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::FramesDelivered, "FramesDelivered", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::FramesRepeated, "FramesRepeated", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::FramesDropped, "FramesDropped", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::IncompleteFrames, "IncompleteFrames", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::TimedOutFrames, "TimedOutFrames", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::UsbErrors, "UsbErrors", TRUE, FALSE, CameraValueRecord},
    {CameraProperty::LastConversionTime, "LastConversionTime", TRUE, FALSE, CameraValueRecord},
};

// The handlers, in the framework's property handler form.
NTSTATUS NTAPI CameraPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI WindowPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI RegisterWritePropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI RawPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS NTAPI StatisticsPropertyHandler(PIRP irp, PKSIDENTIFIER request, PVOID data);
// ImageParameterPropertyHandler (one per processor parameter) and ConstantPropertyHandler (one
// per constant) are instances of templates private to the set; reach them through the items.

// The set's items (ids 0 to 69, in id order) and the set (the filter's automation table, with
// the standard sets beside it, is in control/filter_automation.h).
extern const KSPROPERTY_ITEM CameraPropertyItems[CameraPropertyCount];
extern const KSPROPERTY_SET CameraPropertySets[1];
