// The capture pin's property sets: the standard video control set (control/video_control.h)
// and KSPROPERTY_DROPPEDFRAMES_CURRENT: the pin's picture counts (see
// pin/frame_statistics.h for what is a picture and what a drop). Get only; the framework
// refuses requests and data buffers shorter than the structure before the handler runs.
#include "pin/dropped_frames.h"

#include "control/video_control.h"
#include "pin/capture_pin.h"

namespace {

const GUID DroppedFramesSet = {STATIC_PROPSETID_VIDCAP_DROPPEDFRAMES};

NTSTATUS NTAPI GetDroppedFrames(PIRP irp, PKSIDENTIFIER, PVOID data)
{
    CapturePin* capture = CapturePin::FromKsPin(KsGetPinFromIrp(irp));
    if (capture == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    FramePictureCounts counts = capture->Pictures.Read();
    auto* value = static_cast<KSPROPERTY_DROPPEDFRAMES_CURRENT_S*>(data);
    value->PictureNumber = counts.PictureNumber;
    value->DropCount = counts.DropCount;
    value->AverageFrameSize = counts.AverageFrameSize;
    irp->IoStatus.Information = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
    return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM DroppedFramesItems[1] = {
    {
        KSPROPERTY_DROPPEDFRAMES_CURRENT,
        GetDroppedFrames,
        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),  // MinProperty
        sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),  // MinData
        nullptr,                                     // SetPropertyHandler
        nullptr,                                     // Values
        0,                                           // RelationsCount
        nullptr,                                     // Relations
        nullptr,                                     // SupportHandler
        0,                                           // SerializedSize
    },
};

const KSPROPERTY_SET PinPropertySets[2] = {
    {&DroppedFramesSet, 1, DroppedFramesItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOCONTROL, VideoControlItemCount, VideoControlItems, 0, nullptr},
};

}  // namespace

// No methods and no events; their item sizes are those of the 32-bit platform, as on the filter.
const KSAUTOMATION_TABLE PinAutomationTable = {
    2,                        // PropertySetsCount
    sizeof(KSPROPERTY_ITEM),  // PropertyItemSize
    PinPropertySets,
    0,   // MethodSetsCount
    24,  // MethodItemSize
    nullptr,
    0,   // EventSetsCount
    24,  // EventItemSize
    nullptr,
};
