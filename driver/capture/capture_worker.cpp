// The capture worker: the capture thread's loop over two raw buffers, and the conversion of
// the newest complete frame on the pin's processing thread.
#include "capture/capture_worker.h"

#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "imaging/image_processor.h"

namespace {

UCHAR* AllocateFrameBuffer(ULONG size)
{
    return static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, FrameBufferPoolTag));
}

void FreeFrameBuffer(UCHAR*& buffer)
{
    if (buffer != nullptr) {
        ExFreePoolWithTag(buffer, FrameBufferPoolTag);
        buffer = nullptr;
    }
}

}  // namespace

CaptureWorker::CaptureWorker(CaptureDevice* device) : Device(device)
{
    KeInitializeEvent(&ProcessingDone, NotificationEvent, FALSE);
    KeInitializeSpinLock(&StateLock);
}

CaptureWorker* CaptureWorker::Create(CaptureDevice* device)
{
    return new (NonPagedPool, DeviceObjectPoolTag) CaptureWorker(device);
}

CaptureWorker* CaptureWorker::Destroy(ULONG flags)
{
    FreeBuffers();
    if (flags & 1) {
        this->~CaptureWorker();
        ExFreePoolWithTag(this, DeviceObjectPoolTag);
    }
    return this;
}

void CaptureWorker::FreeBuffers()
{
    FreeFrameBuffer(RawBuffer[0]);
    FreeFrameBuffer(RawBuffer[1]);
    FreeFrameBuffer(OutputBuffer);
    RawBufferSize = 0;
    OutputBufferSize = 0;
}

NTSTATUS CaptureWorker::StartWorker(ImageProcessor* processor, LONG width, LONG height)
{
    InterlockedExchange(&ConversionBusy, 0);
    // The output image in the processor's format: its geometry is the frame's (the device set
    // the delivered width and the format before the start).
    processor->SetGeometry(static_cast<ULONG>(width), static_cast<ULONG>(height));
    ULONG imageBytes = processor->OutputImageBytes(processor->GetOutputFormat());
    LONG outputSize = imageBytes <= 0x7FFFFFFFu ? static_cast<LONG>(imageBytes) : 0;
    InterlockedExchange(&FramesRead, 0);
    InterlockedExchange(&FramesConverted, 0);
    InterlockedExchange(&OutputPicture, 0);
    NoteCameraProgrammed(Device);
    Device->StartSensor();
    ULONG transferSize = 0;
    Device->GetTransferSize(&transferSize);

    NTSTATUS status = STATUS_SUCCESS;
    if (transferSize != RawBufferSize && transferSize != 0) {
        FreeFrameBuffer(RawBuffer[0]);
        FreeFrameBuffer(RawBuffer[1]);
        RawBufferSize = 0;
        RawBuffer[0] = AllocateFrameBuffer(transferSize);
        RawBuffer[1] = AllocateFrameBuffer(transferSize);
        if (RawBuffer[0] == nullptr || RawBuffer[1] == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RawBufferSize = transferSize;
        }
    }
    if (outputSize != OutputBufferSize && outputSize > 0) {
        FreeFrameBuffer(OutputBuffer);
        OutputBufferSize = 0;
        OutputBuffer = AllocateFrameBuffer(static_cast<ULONG>(outputSize));
        if (OutputBuffer == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            OutputBufferSize = outputSize;
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (outputSize <= 0) {
        return STATUS_INVALID_PARAMETER;  // a format that refuses the frame's size
    }
    processor->PrepareWorkBuffer();
    processor->OutputBuffer = OutputBuffer;
    processor->OutputBytes = static_cast<ULONG>(OutputBufferSize);
    // Bound only once the run can go ahead: a failed start leaves no processor behind that a
    // stop of the device could free under the worker.
    Processor = processor;
    InterlockedExchange(&WorkerState, WorkerRunning);
    status = StartThread();
    if (!NT_SUCCESS(status)) {
        // No capture thread: the worker is stopped again, as if the run had never begun.
        StopWorker();
    }
    return status;
}

void CaptureWorker::DropReadyFrames()
{
    KIRQL irql = KfAcquireSpinLock(&StateLock);
    for (LONG& state : RawState) {
        if (state == RawReady) {
            state = RawFree;
        }
    }
    KfReleaseSpinLock(&StateLock, irql);
}

NTSTATUS CaptureWorker::StartThread()
{
    InterlockedExchange(&RunFlag, 1);
    // The last stop or pause stopped the frame reads; the new thread may read again.
    AllowFrameReads(Device);
    // Both buffers start Free, except one a late process pass is still converting: the new
    // capture thread must not refill it under the conversion, and the pass frees it when done.
    KIRQL irql = KfAcquireSpinLock(&StateLock);
    for (LONG& state : RawState) {
        if (state != RawConverting) {
            state = RawFree;
        }
    }
    KfReleaseSpinLock(&StateLock, irql);
    if (CaptureThread != nullptr) {
        ObfDereferenceObject(CaptureThread);
        CaptureThread = nullptr;
    }
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    NTSTATUS status = PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, ThreadStart,
                                           this);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&RunFlag, 0);
        return status;
    }
    PVOID thread = nullptr;
    status = ObReferenceObjectByHandle(handle, 0, *PsThreadType, KernelMode, &thread, nullptr);
    if (NT_SUCCESS(status)) {
        CaptureThread = thread;
    } else {
        // The thread is told to end at its first look at the flag; it touches nothing else.
        InterlockedExchange(&RunFlag, 0);
    }
    ZwClose(handle);
    return status;
}

void NTAPI CaptureWorker::ThreadStart(PVOID context)
{
    static_cast<CaptureWorker*>(context)->CaptureLoop();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

void CaptureWorker::CaptureLoop()
{
    while (InterlockedExchangeAdd(&RunFlag, 0) != 0) {
        KIRQL irql = KfAcquireSpinLock(&StateLock);
        ULONG index;
        if (RawState[0] == RawFree) {
            index = 0;
        } else if (RawState[1] == RawFree) {
            index = 1;
        } else if (RawState[0] == RawConverting) {
            index = 1;
        } else if (RawState[1] == RawConverting) {
            index = 0;
        } else {
            // Both hold frames no pass has taken yet: the older one makes room.
            index = RawPicture[0] <= RawPicture[1] ? 0 : 1;
        }
        RawState[index] = RawFilling;
        KfReleaseSpinLock(&StateLock, irql);

        LONG picture = ReadIntoBuffer(index);
        bool read = picture != 0;

        irql = KfAcquireSpinLock(&StateLock);
        RawState[index] = read ? RawReady : RawFree;
        RawPicture[index] = picture;
        KfReleaseSpinLock(&StateLock, irql);
        if (read) {
            Device->NotifyFrameReady();
        }
    }
}

LONG CaptureWorker::ReadIntoBuffer(ULONG index)
{
    if (InterlockedExchangeAdd(&WorkerState, 0) != WorkerRunning) {
        return 0;
    }
    BOOLEAN read = FALSE;
    Device->ReadFrame(RawBuffer[index], &read);
    if (read) {
        InterlockedIncrement(&FramesRead);
        Device->Statistics.CountFrameRead();
        return InterlockedIncrement(&PicturesTaken);
    }
    // A frame that did not come whole is a picture lost, unless a stop or pause ended the read.
    if (InterlockedExchangeAdd(&RunFlag, 0) != 0 &&
        InterlockedExchangeAdd(&Device->Transfer.ReadsStopped, 0) == 0) {
        InterlockedIncrement(&PicturesTaken);
    }
    return 0;
}

bool CaptureWorker::IsRunning()
{
    return InterlockedExchangeAdd(&WorkerState, 0) == WorkerRunning;
}

bool CaptureWorker::IsPaused()
{
    return InterlockedExchangeAdd(&WorkerState, 0) == WorkerPaused;
}

void CaptureWorker::ConvertNewestFrame()
{
    InterlockedExchange(&ConversionBusy, 1);
    // Once the worker has stopped, the output image is no longer bound to the processor.
    if (!IsRunning()) {
        return;
    }
    KIRQL irql = KfAcquireSpinLock(&StateLock);
    LONG taken = -1;
    if (RawState[0] == RawReady && RawState[1] == RawReady) {
        // Both hold a frame no pass has converted: the newer one goes out, and the older one
        // is superseded (its picture counts as dropped once the newer one is delivered).
        taken = RawPicture[1] > RawPicture[0] ? 1 : 0;
        RawState[1 - taken] = RawFree;
    } else if (RawState[0] == RawReady) {
        taken = 0;
    } else if (RawState[1] == RawReady) {
        taken = 1;
    }
    LONG picture = 0;
    if (taken >= 0) {
        RawState[taken] = RawConverting;
        picture = RawPicture[taken];
    }
    KfReleaseSpinLock(&StateLock, irql);
    if (taken < 0) {
        return;
    }
    ULONG offset = 0;
    ULONG pitch = 0;
    Device->GetRawOffset(&offset);
    Device->GetRawPitch(&pitch);
    LARGE_INTEGER frequency;
    LARGE_INTEGER start = KeQueryPerformanceCounter(&frequency);
    if (Processor->Convert(RawBuffer[taken], offset, pitch)) {
        LARGE_INTEGER end = KeQueryPerformanceCounter(nullptr);
        Device->Statistics.CountConversion(end.QuadPart - start.QuadPart, frequency.QuadPart);
        InterlockedIncrement(&FramesConverted);
        InterlockedExchange(&OutputPicture, picture);
    }
    irql = KfAcquireSpinLock(&StateLock);
    RawState[taken] = RawFree;
    KfReleaseSpinLock(&StateLock, irql);
}

void CaptureWorker::FinishProcessing()
{
    // Busy is cleared before the event is set: a stop that reset the event after it was set
    // then finds the pass no longer busy instead of waiting for an event that already came.
    InterlockedExchange(&ConversionBusy, 0);
    KeSetEvent(&ProcessingDone, 1, FALSE);
}

LONG CaptureWorker::ReadFramesConverted()
{
    return InterlockedExchangeAdd(&FramesConverted, 0);
}

LONG CaptureWorker::ReadPicturesTaken()
{
    return InterlockedExchangeAdd(&PicturesTaken, 0);
}

LONG CaptureWorker::ReadOutputPicture()
{
    return InterlockedExchangeAdd(&OutputPicture, 0);
}

LONG CaptureWorker::ReadFramesRead()
{
    return InterlockedExchangeAdd(&FramesRead, 0);
}

void CaptureWorker::StopThread()
{
    InterlockedExchange(&RunFlag, 0);
    Device->StopSensor();
    if (CaptureThread != nullptr) {
        KeWaitForSingleObject(CaptureThread, Executive, KernelMode, FALSE, nullptr);
        ObfDereferenceObject(CaptureThread);
        CaptureThread = nullptr;
    }
    WaitForProcessPass();
}

void CaptureWorker::WaitForProcessPass()
{
    KeResetEvent(&ProcessingDone);
    if (InterlockedExchangeAdd(&ConversionBusy, 0) != 0) {
        KeWaitForSingleObject(&ProcessingDone, Executive, KernelMode, FALSE, nullptr);
    }
}

NTSTATUS CaptureWorker::StopWorker()
{
    StopThread();
    InterlockedExchange(&WorkerState, WorkerStopped);
    // A pass that marked itself busy after StopThread looked, but still saw the worker
    // Running, may be converting: wait for it too. Passes that begin from here on see the
    // worker stopped and leave the output image alone, so it can be unbound.
    WaitForProcessPass();
    if (Processor != nullptr) {
        Processor->OutputBuffer = nullptr;
        Processor->OutputBytes = 0;
        Processor = nullptr;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CaptureWorker::PauseWorker(bool pause)
{
    LONG state = InterlockedExchangeAdd(&WorkerState, 0);
    if (pause && state == WorkerRunning) {
        StopThread();
        InterlockedExchange(&WorkerState, WorkerPaused);
        WaitForProcessPass();  // as in StopWorker: no conversion runs on into the pause
        // Frames read but not converted are dropped now rather than only at resume: between
        // WorkerState becoming Running again and StartThread freeing the buffers, a process pass
        // could take a stale frame and convert it while the new capture thread refills it.
        DropReadyFrames();
    } else if (!pause && state == WorkerPaused) {
        InterlockedExchange(&WorkerState, WorkerRunning);
        NTSTATUS status = StartThread();
        if (!NT_SUCCESS(status)) {
            InterlockedExchange(&WorkerState, WorkerPaused);
            return status;
        }
    }
    return STATUS_SUCCESS;
}
