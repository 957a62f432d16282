// The USB transport of one camera: device object references, the configuration and the first
// interface's pipes, and the blocking operations every other subsystem uses.
#pragma once

#include <wdm.h>
#include <usb.h>
#include <usbdi.h>

// Pipes of the camera's interface, by index.
enum CameraPipe : ULONG {
    CommandPipe = 0,  // OUT: command packets and frame brackets
    ReplyPipe = 1,    // IN: replies to register reads
    FramePipe = 2,    // IN: raw frame data
};

struct UsbLink {
    PDEVICE_OBJECT PhysicalDevice;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT FunctionalDevice;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // owned, wTotalLength bytes
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;              // owned copy of the first interface
    UCHAR* PipeInUse;                                       // owned, one mark per pipe
    // Port resets RecoverPort made: each one returns the camera to its power-on registers.
    LONG volatile PortResets;
};

// Sends one URB to the lower driver and waits for it; the request's final status.
NTSTATUS SubmitUrb(UsbLink* link, PURB urb);
// One bulk or interrupt transfer on the pipe with this index. Waits for it without a bound
// when timeoutMs is 0; otherwise cancels it after timeoutMs and returns STATUS_IO_TIMEOUT.
// `urbStatus`, when given, receives the URB's own status (USBD_STATUS_SUCCESS when no URB
// was sent).
NTSTATUS PipeTransfer(UsbLink* link, ULONG pipeIndex, ULONG length, PVOID buffer,
                      PULONG transferred, ULONG timeoutMs = 0, USBD_STATUS* urbStatus = nullptr);
NTSTATUS GetPortStatus(UsbLink* link, PULONG portStatus);
NTSTATUS ResetPort(UsbLink* link);

// Checks that the pipe with this index can carry a bulk or interrupt transfer and returns it:
// STATUS_UNSUCCESSFUL when unconfigured or the handle is null, STATUS_INVALID_PARAMETER for a
// bad index or pipe type.
NTSTATUS ValidateTransferPipe(UsbLink* link, ULONG pipeIndex, const USBD_PIPE_INFORMATION** pipe);

// Fills a bulk or interrupt transfer URB for the pipe: the direction from the pipe's endpoint
// address, short transfers allowed, data in `buffer` or described by `mdl`.
void BuildPipeTransfer(PURB urb, const USBD_PIPE_INFORMATION& pipe, PVOID buffer, PMDL mdl,
                       ULONG length);

NTSTATUS ConfigureDevice(UsbLink* link);
NTSTATUS SelectConfiguration(UsbLink* link);
NTSTATUS UnconfigureDevice(UsbLink* link);
// Frees the stored configuration descriptor, interface information and marks; no request.
void ReleaseConfiguration(UsbLink* link);
// Aborts every pipe marked in use (outstanding transfers complete at once as cancelled).
NTSTATUS AbortPipes(UsbLink* link);
void MarkPipeInUse(UsbLink* link, ULONG pipeIndex, bool inUse);
bool IsPipeInUse(UsbLink* link, ULONG pipeIndex);
NTSTATUS ResetPipe(UsbLink* link, ULONG pipeIndex);
// After a failed transfer on a pipe: aborts what is still outstanding on it and resets it
// (clearing a stall on both sides); when the reset fails too, checks the port and resets it if
// it is connected but disabled. The reset's status.
NTSTATUS RecoverPipe(UsbLink* link, ULONG pipeIndex);
// Resets the port when it is connected but disabled, counting the reset in PortResets.
void RecoverPort(UsbLink* link);
