// The capture thread of one camera and the frame-sized memory of its stream: two raw buffers
// the thread fills in turn, and the 32-bit output image the processor writes.
#pragma once

#include <wdm.h>

class CaptureDevice;
class ImageProcessor;

enum WorkerStateValue : LONG { WorkerStopped = 0, WorkerPaused = 1, WorkerRunning = 2 };

enum RawBufferState : LONG { RawFree = 0, RawFilling = 1, RawReady = 2, RawConverting = 3 };

class CaptureWorker {
public:
    // The one virtual operation: releases the buffers and, with bit 0 of `flags`, the object.
    virtual CaptureWorker* Destroy(ULONG flags);

    explicit CaptureWorker(CaptureDevice* device);
    // A worker from the pool, or null.
    static CaptureWorker* Create(CaptureDevice* device);

    NTSTATUS StartWorker(ImageProcessor* processor, LONG width, LONG height);
    // Ends capture; the processor is no longer bound to the worker afterwards.
    NTSTATUS StopWorker();
    // Pauses, or resumes a paused worker; a resume fails when no capture thread could start.
    NTSTATUS PauseWorker(bool pause);
    void ConvertNewestFrame();
    void FinishProcessing();
    LONG ReadFramesRead();
    LONG ReadFramesConverted();
    LONG ReadPicturesTaken();
    LONG ReadOutputPicture();
    bool IsRunning();
    bool IsPaused();
    UCHAR* OutputImage() const { return OutputBuffer; }

    ImageProcessor* Processor;
    UCHAR* OutputBuffer;
    LONG volatile WorkerState;
    KEVENT ProcessingDone;
    PVOID CaptureThread;
    LONG volatile ConversionBusy;
    LONG RawState[2];
    UCHAR* RawBuffer[2];
    LONG volatile RunFlag;
    ULONG RawBufferSize;
    LONG OutputBufferSize;
    LONG volatile FramesRead;
    CaptureDevice* Device;
    KSPIN_LOCK StateLock;  // guards RawState only
    // Raw frames converted into the output image since the last start; written only by the
    // process pass, read by the pin and by statistics.
    LONG volatile FramesConverted;
    // Pictures over the worker's life: frames asked of the camera while running, whole or not
    // (a read ended by a stop or pause is none). Never reset, so a run restarted after a stop
    // of the device numbers on; the pin counts from where it left KSSTATE_STOP. Written only by
    // the capture thread.
    LONG volatile PicturesTaken;
    // The picture each raw buffer holds (guarded by StateLock with RawState), and the picture
    // in the output image, 0 before the run's first conversion (written only by the process
    // pass).
    LONG RawPicture[2];
    LONG volatile OutputPicture;

private:
    ~CaptureWorker() = default;
    NTSTATUS StartThread();
    void DropReadyFrames();
    void StopThread();
    void WaitForProcessPass();
    void CaptureLoop();
    // The picture read into the buffer, or 0 when no whole frame came.
    LONG ReadIntoBuffer(ULONG index);
    void FreeBuffers();
    static void NTAPI ThreadStart(PVOID context);
};
