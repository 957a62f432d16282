// Numeric property items of the standard sets: their limits, the check a set applies, and the
// basic-support answer that describes them (access flags, a stepped range and a default value).
#pragma once

#include "device/streaming_headers.h"

class CaptureDevice;

// Inclusive limits, the step between accepted values (from Minimum) and the default.
struct PropertyRange {
    LONG Minimum;
    LONG Maximum;
    ULONG Step;
    LONG Default;
};

// Whether `value` lies within the range and on one of its steps.
bool IsInRange(const PropertyRange& range, LONG value);

// The complete basic-support answer for one numeric item: the description, one members list
// holding the stepped range and one holding the default value.
struct PropertyRangeDescription {
    KSPROPERTY_DESCRIPTION Description;
    KSPROPERTY_MEMBERSHEADER RangeHeader;
    KSPROPERTY_STEPPING_LONG Range;
    KSPROPERTY_MEMBERSHEADER DefaultHeader;
    LONG Default;
};
// The bytes of the answer (the structure without its tail padding).
constexpr ULONG PropertyRangeDescriptionSize =
    offsetof(PropertyRangeDescription, Default) + sizeof(LONG);

// Answers a basic-support request for an item with `range` into the request's data buffer, by
// the data buffer's length:
//   0                                      -> STATUS_BUFFER_OVERFLOW, the full size reported
//   sizeof(ULONG)                          -> the access flags alone
//   sizeof(KSPROPERTY_DESCRIPTION) and up  -> the description (DescriptionSize: the full size)
//   PropertyRangeDescriptionSize and up    -> the description, the range and the default
//   anything else                          -> STATUS_BUFFER_TOO_SMALL, the full size reported
NTSTATUS AnswerRangeSupport(PIRP irp, PVOID data, ULONG accessFlags, const PropertyRange& range);

// The CaptureDevice behind the filter an IRP is addressed to, or null.
CaptureDevice* CaptureDeviceFromIrp(PIRP irp);
