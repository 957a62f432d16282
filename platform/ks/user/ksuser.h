// User-mode calls applications use to reach streaming filters: enumerate and open filters by
// category, send device-control requests (properties, data intersection, connection state),
// create pins, read frames and close handles. Modelled on the platform's user-mode calls;
// every call returns an NTSTATUS.
#pragma once

#include <ks.h>
#include <ntoskrnl/rtl/wide_string.h>

#include <string>
#include <vector>

// The symbolic links of every filter registered under the category, e.g.
// L"\\\\?\\usb#vid_f055&pid_c0de#1#{6994ad05-93ef-11d0-a3cc-00a0c9223196}\\global".
std::vector<rtl::WideString> KsEnumerateFilters(const GUID& category);

// Opens a filter instance by symbolic link (IRP_MJ_CREATE on the device); the handle is closed
// with KsCloseHandle. STATUS_OBJECT_NAME_NOT_FOUND for an unknown link.
NTSTATUS KsOpenFilter(const rtl::WideString& symbolicLink, PHANDLE FilterHandle);

// A device-control request on a filter or pin handle (IOCTL_KS_PROPERTY and friends are
// METHOD_NEITHER: the input holds the KSPROPERTY header, the output receives the data).
// BytesReturned gets the request's information field, also on STATUS_BUFFER_OVERFLOW and
// STATUS_BUFFER_TOO_SMALL, where it is the size needed.
NTSTATUS KsSynchronousDeviceControl(HANDLE Handle, ULONG IoControl, PVOID InBuffer,
                                    ULONG InLength, PVOID OutBuffer, ULONG OutLength,
                                    PULONG BytesReturned);

// Creates a pin instance on a filter. Connect is followed in memory by the KSDATAFORMAT (and
// its format-specific tail, FormatSize bytes in all).
NTSTATUS KsCreatePin(HANDLE FilterHandle, PKSPIN_CONNECT Connect, ACCESS_MASK DesiredAccess,
                     PHANDLE ConnectionHandle);

// Queues one frame buffer on a pin (Header->Data, Header->FrameExtent) and waits up to
// TimeoutMs for the driver to fill it. On return the header holds what the driver set
// (DataUsed, Duration, PresentationTime, OptionsFlags). STATUS_TIMEOUT leaves the frame
// queued no longer: it is cancelled before the call returns. A frame returned unfilled
// (the pin left RUN or closed) completes with STATUS_CANCELLED.
NTSTATUS KsReadStream(HANDLE PinHandle, PKSSTREAM_HEADER Header, ULONG TimeoutMs);

// The asynchronous form: queues the frame and returns at once with a request handle. Wait with
// KsWaitFrame (STATUS_TIMEOUT: still queued), or KsCancelFrame (cancels if still queued and
// waits for the completion); then KsCloseHandle the request. The header and the frame buffer
// must stay valid until the request completed.
NTSTATUS KsQueueFrame(HANDLE PinHandle, PKSSTREAM_HEADER Header, PHANDLE RequestHandle);
NTSTATUS KsWaitFrame(HANDLE RequestHandle, ULONG TimeoutMs);
NTSTATUS KsCancelFrame(HANDLE RequestHandle);

// Creates a reference clock object (the framework's default clock) that a pin can be given
// with KSPROPERTY_STREAM_MASTERCLOCK; close it with KsCloseHandle.
NTSTATUS KsCreateDefaultClock(PHANDLE ClockHandle);

NTSTATUS KsCloseHandle(HANDLE Handle);
