// The capture filter's property sets; no methods and no events.
#include "control/filter_automation.h"

#include "control/camera_control.h"
#include "control/property_set.h"
#include "control/video_control.h"
#include "control/video_proc_amp.h"

const KSPROPERTY_SET FilterPropertySets[FilterPropertySetCount] = {
    {&CameraPropertySet, CameraPropertyCount, CameraPropertyItems, 0, nullptr},
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, VideoProcAmpItemCount, VideoProcAmpItems, 0, nullptr},
    {&PROPSETID_VIDCAP_CAMERACONTROL, CameraControlItemCount, CameraControlItems, 0, nullptr},
    // Also on the capture pin; on the filter its records name the pin by StreamIndex.
    {&PROPSETID_VIDCAP_VIDEOCONTROL, VideoControlItemCount, VideoControlItems, 0, nullptr},
};

// The method and event item sizes are those of KSMETHOD_ITEM and KSEVENT_ITEM on the 32-bit
// platform.
const KSAUTOMATION_TABLE FilterAutomationTable = {
    FilterPropertySetCount,
    sizeof(KSPROPERTY_ITEM),  // PropertyItemSize
    FilterPropertySets,
    0,   // MethodSetsCount
    24,  // MethodItemSize
    nullptr,
    0,   // EventSetsCount
    24,  // EventItemSize
    nullptr,
};
