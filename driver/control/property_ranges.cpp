// Range checks and basic-support answers of the standard property sets.
#include "control/property_ranges.h"

#include "device/capture_device.h"

bool IsInRange(const PropertyRange& range, LONG value)
{
    if (value < range.Minimum || value > range.Maximum) {
        return false;
    }
    // 64-bit difference: Maximum - Minimum may exceed a LONG.
    LONGLONG offset = static_cast<LONGLONG>(value) - range.Minimum;
    return range.Step <= 1 || offset % range.Step == 0;
}

NTSTATUS AnswerRangeSupport(PIRP irp, PVOID data, ULONG accessFlags, const PropertyRange& range)
{
    if (irp == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    if (length == 0) {
        irp->IoStatus.Information = PropertyRangeDescriptionSize;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (data == nullptr) {
        return STATUS_INVALID_USER_BUFFER;
    }
    if (length == sizeof(ULONG)) {
        RtlCopyMemory(data, &accessFlags, sizeof accessFlags);
        irp->IoStatus.Information = sizeof(ULONG);
        return STATUS_SUCCESS;
    }
    if (length < sizeof(KSPROPERTY_DESCRIPTION)) {
        irp->IoStatus.Information = PropertyRangeDescriptionSize;
        return STATUS_BUFFER_TOO_SMALL;
    }

    PropertyRangeDescription answer;
    RtlZeroMemory(&answer, sizeof answer);
    answer.Description.AccessFlags = accessFlags;
    answer.Description.DescriptionSize = PropertyRangeDescriptionSize;
    answer.Description.PropTypeSet.Set = KSPROPTYPESETID_General;
    answer.Description.PropTypeSet.Id = VT_I4;
    answer.Description.PropTypeSet.Flags = 0;
    answer.Description.MembersListCount = 2;
    answer.RangeHeader.MembersFlags = KSPROPERTY_MEMBER_STEPPEDRANGES;
    answer.RangeHeader.MembersSize = sizeof(KSPROPERTY_STEPPING_LONG);
    answer.RangeHeader.MembersCount = 1;
    answer.Range.SteppingDelta = range.Step;
    answer.Range.Bounds.SignedMinimum = range.Minimum;
    answer.Range.Bounds.SignedMaximum = range.Maximum;
    answer.DefaultHeader.MembersFlags = KSPROPERTY_MEMBER_VALUES;
    answer.DefaultHeader.MembersSize = sizeof(LONG);
    answer.DefaultHeader.MembersCount = 1;
    answer.DefaultHeader.Flags = KSPROPERTY_MEMBER_FLAG_DEFAULT;
    answer.Default = range.Default;

    ULONG written = length >= PropertyRangeDescriptionSize ? PropertyRangeDescriptionSize
                                                           : sizeof(KSPROPERTY_DESCRIPTION);
    RtlCopyMemory(data, &answer, written);
    irp->IoStatus.Information = written;
    return STATUS_SUCCESS;
}

CaptureDevice* CaptureDeviceFromIrp(PIRP irp)
{
    if (irp == nullptr) {
        return nullptr;
    }
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (filter == nullptr) {
        return nullptr;
    }
    return CaptureDevice::FromKsDevice(KsGetDevice(filter));
}
