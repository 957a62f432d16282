// Format negotiation of the capture pin: the intersect handler that builds a concrete format
// from a client's range, the check of a format the client sets, and the pin's copy of it.
#pragma once

#include <ks.h>
#include <ksmedia.h>

class CapturePin;

NTSTATUS NTAPI IntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                                PULONG dataSize);
NTSTATUS NTAPI SetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                             const KSDATARANGE* range, const KSATTRIBUTE_LIST* attributeRange);
// Copies the connection format's video header into the pin's VideoInfo and returns it.
PKS_VIDEOINFOHEADER CopyConnectionFormat(CapturePin* pin);
