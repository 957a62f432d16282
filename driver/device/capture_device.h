// The driver's object for one attached camera: its USB link, settings, command channel, frame
// geometry and offered format, and the operations the framework and the capture path call.
#pragma once

#include "camera/command_channel.h"
#include "camera/frame_geometry.h"
#include "capture/stream_statistics.h"
#include "device/camera_settings.h"
#include "device/device_lock.h"
#include "pin/video_format.h"
#include "usb/frame_transfer.h"
#include "usb/usb_link.h"

#include "device/streaming_headers.h"

class CapturePin;
class CaptureWorker;
class ImageProcessor;

class CaptureDevice {
public:
    // Table of virtual operations, in slot order.
    virtual void NotifyFrameReady();
    virtual void StartSensor();
    // Reads one raw frame of TransferSize bytes into `buffer`; the result also in *read.
    virtual BOOLEAN ReadFrame(UCHAR* buffer, BOOLEAN* read);
    virtual void GetTransferSize(ULONG* size);
    virtual void GetRawOffset(ULONG* offset);
    virtual void GetRawPitch(ULONG* pitch);
    virtual void StopSensor();
    // Releases what the device owns; with bit 0 of `flags` also the object's memory. Returns
    // the object (no longer valid when its memory was released).
    virtual CaptureDevice* DestroyDevice(ULONG flags);

    explicit CaptureDevice(PKSDEVICE device);

    // Framework dispatch.
    static NTSTATUS NTAPI Add(PKSDEVICE device);
    static NTSTATUS NTAPI Start(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                                PCM_RESOURCE_LIST untranslated);
    static void NTAPI Stop(PKSDEVICE device, PIRP irp);
    static void NTAPI SurpriseRemoval(PKSDEVICE device, PIRP irp);
    static NTSTATUS NTAPI FilterCreate(PKSFILTER filter, PIRP irp);
    static NTSTATUS NTAPI FilterClose(PKSFILTER filter, PIRP irp);

    // The CaptureDevice of a framework device (its Context), or null.
    static CaptureDevice* FromKsDevice(PKSDEVICE device);

    NTSTATUS InitializeDefaults();

    // Capture pins of every filter on the camera: each Create that succeeds counts one, its
    // Close removes it. While any exists the window, the sub-sampling and the clock stay as
    // they are. Each takes the device lock.
    void AddOpenPin();
    void RemoveOpenPin();
    // Whether a capture pin exists; the caller holds the device lock.
    bool PinExists();

    // The stream, in calling order: one pin claims it, runs, pauses and stops capture. Each
    // holds the device mutex (outside the device lock), so a stop or removal of the device never
    // overlaps it; while the device is not started they fail with STATUS_DEVICE_NOT_READY.
    NTSTATUS AcquireStream(CapturePin* pin, PKS_VIDEOINFOHEADER format);
    NTSTATUS StartCapture();
    NTSTATUS PauseCapture(bool pause);
    NTSTATUS StopCapture();
    void ReleaseStream();

    // Settings: processor-side setters store, clamp and mirror into the processor; their
    // getters refresh from it. Camera-side setters write the camera and store on success.
    void SetExTrigger(ULONG value);
    ULONG GetExTrigger();
    void SetTimeout(ULONG value);
    ULONG GetTimeout();
    BOOLEAN SetExposure(ULONG value);
    ULONG GetExposure();
    BOOLEAN SetGlobalGain(ULONG value);
    ULONG GetGlobalGain();
    void SetFlipH(ULONG value);
    ULONG GetFlipH();
    void SetFlipV(ULONG value);
    ULONG GetFlipV();
    void SetColorEnable(ULONG value);
    ULONG GetColorEnable();
    void SetWhiteBalance(ULONG value);
    ULONG GetWhiteBalance();
    void SetRedGain(LONG value);
    LONG GetRedGain();
    void SetGreenGain(LONG value);
    LONG GetGreenGain();
    void SetBlueGain(LONG value);
    LONG GetBlueGain();
    void SetColorCorrection(ULONG value);
    ULONG GetColorCorrection();
    void SetBrightness(LONG value);
    LONG GetBrightness();
    void SetContrast(LONG value);
    LONG GetContrast();
    void SetSaturation(LONG value);
    LONG GetSaturation();
    void SetHue(LONG value);
    LONG GetHue();
    ULONG GetSubSample();
    LONG GetRoiX();
    LONG GetRoiY();
    LONG GetRoiW();
    LONG GetRoiH();
    void SetClock(LONG value);
    LONG GetClock();
    void SetAGC(ULONG value);
    ULONG GetAGC();
    void SetAEC(ULONG value);
    ULONG GetAEC();

    // Sensor and bridge programming behind the camera-side settings.
    void SetFlips(ULONG flipH, ULONG flipV);
    ULONG ReadBackExposure();
    ULONG ReadBackGlobalGain();
    BOOLEAN ApplyExTrigger(bool on);

    PKSDEVICE Device;
    UsbLink Link;
    FrameTransfer Transfer;
    CameraSettings Settings;
    CommandChannel Channel;
    LONG volatile StreamClaimed;
    CaptureWorker* Worker;
    // The stream counts of the pin that last claimed the stream (see stream_statistics.h).
    StreamStatistics Statistics;
    ImageProcessor* Processor;
    CapturePin* StreamOwner;
    PKS_VIDEOINFOHEADER StreamFormat;
    // The OutputFormat of the claimed stream, from its format at the claim; 32-bit RGB before.
    ULONG StreamOutputFormat;
    FrameGeometry Geometry;
    ULONG BaseBayerPhase;
    // How many capture pins exist (on all filters of the camera); changed under Lock.
    LONG volatile PinOpen;
    // Held by property requests, stream claim and start, pin create and close, and the
    // settings load and save; see device_lock.h.
    DeviceLock Lock;
    ULONG ChipVersion;
    CameraFormats Formats;
    // The worker was handed to the framework device's bag, which destroys it.
    bool WorkerInBag;
    // Between a successful start and the next stop or surprise removal; under the device mutex.
    bool DeviceStarted;

private:
    // Objects are destroyed through DestroyDevice only.
    ~CaptureDevice() = default;
    void DestroyProcessor();
    void CreateProcessor();
    void CreateWorker();
    // Makes the worker and the processor when an earlier allocation left either missing.
    NTSTATUS CreateMissingParts();
    void MirrorSettingsIntoProcessor();
    // Stops capture and leaves the worker idle and unbound from the processor, whatever the
    // pin's state: the capture thread has ended and no conversion runs. Device mutex held.
    void HaltStream();
    NTSTATUS StartCaptureLocked();
};
