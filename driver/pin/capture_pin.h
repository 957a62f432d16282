// The driver's object behind the capture pin: it claims the camera's stream at acquire,
// starts, pauses and stops capture with the pin state, and delivers the newest converted image
// bottom-up into the client's frames.
#pragma once

#include "device/streaming_headers.h"
#include "pin/frame_statistics.h"

class CaptureDevice;

enum CaptureStateValue : LONG { CaptureStopped = 0, CapturePaused = 1, CaptureRunning = 2 };

class CapturePin {
public:
    // The one virtual operation: asks the framework for a process pass.
    virtual void NotifyFrameReady();

    CapturePin(PKSPIN pin, CaptureDevice* device);

    static NTSTATUS NTAPI Create(PKSPIN pin, PIRP irp);
    static NTSTATUS NTAPI Close(PKSPIN pin, PIRP irp);
    static NTSTATUS NTAPI Process(PKSPIN pin);
    static NTSTATUS NTAPI SetDeviceState(PKSPIN pin, KSSTATE target, KSSTATE previous);

    static CapturePin* FromKsPin(PKSPIN pin);
    void Destroy();

    PKSPIN Pin;
    CaptureDevice* Device;
    LONG CaptureState;
    PIKSREFERENCECLOCK ReferenceClock;
    KS_VIDEOINFOHEADER VideoInfo;
    BOOLEAN Acquired;
    LONG DestinationStride;
    // The OutputFormat of the connection format (imaging/output_formats.h); set with VideoInfo.
    ULONG OutputFormat;
    // Frame statistics since the pin was created: frames completed to the client, those of
    // them that repeated the image already delivered because no new raw frame was converted in
    // between, and client frames too small for the image, returned empty. Written only by the
    // process pass.
    LONG volatile FramesDelivered;
    LONG volatile RepeatedFrames;
    LONG volatile DroppedFrames;
    // The worker's conversion count when the last frame was delivered (the count restarts with
    // the worker).
    LONG volatile DeliveredConversion;
    // Pictures delivered and dropped since the pin left KSSTATE_STOP.
    FrameStatistics Pictures;
    // The presentation time of the last frame delivered with a clock; written only by the
    // process pass.
    LONGLONG LastPresentationTime;

private:
    ~CapturePin() = default;
    // Fills the client's frame; false (frame untouched, completed as too small) when the frame
    // cannot hold the image.
    // `picture` is the worker's number of the picture in the output image.
    bool DeliverFrame(PKSSTREAM_POINTER pointer, LONG picture);
    void CountDelivery(LONG framesConverted);
    // Stops the capture of a running or paused pin.
    void StopCapture();
};

extern const KSPIN_DISPATCH PinDispatch;
