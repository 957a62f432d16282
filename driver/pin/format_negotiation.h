// Format negotiation of the capture pin: the intersect handler that builds a concrete format
// from a client's range, the check of a format the client sets, and the pin's copy of it.
#pragma once

#include "device/streaming_headers.h"

class CapturePin;

NTSTATUS NTAPI IntersectHandler(PVOID context, PIRP irp, PKSP_PIN pin, PKSDATARANGE callerRange,
                                PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                                PULONG dataSize);
NTSTATUS NTAPI SetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM oldAttributes,
                             const KSDATARANGE* range, const KSATTRIBUTE_LIST* attributeRange);
// Takes the accepted connection format over into the pin: its video header into VideoInfo, its
// output format into OutputFormat and its row pitch (biWidth × 4 for 32-bit RGB, else the
// format's row bytes) into DestinationStride. Returns the pin's VideoInfo.
PKS_VIDEOINFOHEADER CopyConnectionFormat(CapturePin* pin);
