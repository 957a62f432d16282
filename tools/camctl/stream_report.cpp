#include "stream_report.h"

#include "text.h"

#include <ksmedia.h>

#include <ostream>

namespace camctl {

NTSTATUS ReadDroppedFrames(HANDLE pin, DroppedFrames& dropped)
{
    KSPROPERTY_DROPPEDFRAMES_CURRENT_S value{};
    const auto* tail = reinterpret_cast<const std::uint8_t*>(&value) + sizeof(KSPROPERTY);
    NTSTATUS status =
        ksclient::GetProperty(pin, PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT,
                              &value, sizeof value, tail, sizeof value - sizeof(KSPROPERTY))
            .status;
    if (NT_SUCCESS(status)) {
        dropped.pictureNumber = value.PictureNumber;
        dropped.dropCount = value.DropCount;
        dropped.averageFrameSize = value.AverageFrameSize;
    }
    return status;
}

bool PrintStreamReport(const CameraControl& control, const std::optional<DroppedFrames>& dropped,
                       std::ostream& out, std::ostream& err)
{
    bool ok = true;
    out << "stream statistics:\n";
    for (ULONG id = CameraProperty::FramesRead; id <= CameraProperty::LastConversionTime; ++id) {
        const CameraPropertyInfo& item = CameraPropertyTable[id];
        LONG value = 0;
        NTSTATUS status = control.Get(id, value);
        if (!NT_SUCCESS(status)) {
            err << "camctl: " << item.Name << ": " << StatusText(status) << "\n";
            ok = false;
            continue;
        }
        // The counts are unsigned 32-bit values.
        out << "  " << item.Name << ": " << static_cast<ULONG>(value)
            << (id == CameraProperty::LastConversionTime ? " us" : "") << "\n";
    }
    if (dropped) {
        out << "dropped frames: PictureNumber " << dropped->pictureNumber << ", DropCount "
            << dropped->dropCount << ", AverageFrameSize " << dropped->averageFrameSize << "\n";
    }
    return ok;
}

}  // namespace camctl
