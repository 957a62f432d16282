// The capture pin: stream claim and capture control by pin state, and frame delivery.
#include "pin/capture_pin.h"

#include "capture/capture_worker.h"
#include "device/capture_device.h"
#include "device/pool_tags.h"
#include "imaging/image_processor.h"
#include "imaging/output_formats.h"
#include "pin/format_negotiation.h"

namespace {

void NTAPI ReleaseCapturePin(PVOID item)
{
    static_cast<CapturePin*>(item)->Destroy();
}

void ReleaseClock(CapturePin* pin)
{
    if (pin->ReferenceClock != nullptr) {
        pin->ReferenceClock->Release();
        pin->ReferenceClock = nullptr;
    }
}

}  // namespace

const KSPIN_DISPATCH PinDispatch = {
    CapturePin::Create,
    CapturePin::Close,
    CapturePin::Process,
    nullptr,  // Reset
    SetDataFormat,
    CapturePin::SetDeviceState,
    nullptr,  // Connect
    nullptr,  // Disconnect
    nullptr,  // Clock
    nullptr,  // Allocator
};

CapturePin::CapturePin(PKSPIN pin, CaptureDevice* device)
    : Pin(pin), Device(device), LastPresentationTime(-1)
{
}

CapturePin* CapturePin::FromKsPin(PKSPIN pin)
{
    return pin == nullptr ? nullptr : static_cast<CapturePin*>(pin->Context);
}

void CapturePin::Destroy()
{
    ReleaseClock(this);
    this->~CapturePin();
    ExFreePoolWithTag(this, DeviceObjectPoolTag);
}

void CapturePin::NotifyFrameReady()
{
    KsPinAttemptProcessing(Pin, TRUE);
}

NTSTATUS NTAPI CapturePin::Create(PKSPIN pin, PIRP)
{
    CaptureDevice* device = CaptureDevice::FromKsDevice(KsGetDevice(pin));
    if (device == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    auto* capture = new (NonPagedPool, DeviceObjectPoolTag) CapturePin(pin, device);
    if (capture == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Counted, not flagged: pins of other filters on the camera may come and go meanwhile.
    device->AddOpenPin();
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, capture, ReleaseCapturePin);
    if (!NT_SUCCESS(status)) {
        capture->Destroy();
        device->RemoveOpenPin();
        return status;
    }
    pin->Context = capture;
    // Every frame carries its frame information after the stream header.
    pin->StreamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    CopyConnectionFormat(capture);

    status = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->Descriptor)),
                     sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), FrameBufferPoolTag);
    auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
    if (NT_SUCCESS(status)) {
        status = _KsEdit(pin->Bag,
                         reinterpret_cast<PVOID*>(const_cast<KSALLOCATOR_FRAMING_EX**>(
                             &descriptor->AllocatorFraming)),
                         sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX),
                         FrameBufferPoolTag);
    }
    if (!NT_SUCCESS(status)) {
        device->RemoveOpenPin();
        return status;
    }
    auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming);
    KS_FRAMING_ITEM& item = framing->FramingItem[0];
    ULONG imageSize = capture->VideoInfo.bmiHeader.biSizeImage;
    item.Frames = 2;
    item.PhysicalRange.MinFrameSize = imageSize;
    item.PhysicalRange.MaxFrameSize = imageSize;
    item.PhysicalRange.Stepping = 0;
    item.FramingRange.Range.MinFrameSize = imageSize;
    item.FramingRange.Range.MaxFrameSize = imageSize;
    item.FramingRange.Range.Stepping = 0;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CapturePin::Close(PKSPIN pin, PIRP)
{
    CapturePin* capture = FromKsPin(pin);
    if (capture != nullptr) {
        capture->DestinationStride = 0;
        capture->Device->RemoveOpenPin();
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI CapturePin::SetDeviceState(PKSPIN pin, KSSTATE target, KSSTATE previous)
{
    CapturePin* capture = FromKsPin(pin);
    if (capture == nullptr) {
        return STATUS_SUCCESS;
    }
    CaptureDevice* device = capture->Device;
    switch (target) {
    case KSSTATE_STOP:
        capture->StopCapture();
        if (capture->Acquired) {
            ReleaseClock(capture);
            device->ReleaseStream();
            capture->Acquired = FALSE;
        }
        return STATUS_SUCCESS;
    case KSSTATE_ACQUIRE:
        if (previous == KSSTATE_STOP) {
            capture->LastPresentationTime = -1;
            NTSTATUS status = device->AcquireStream(capture, &capture->VideoInfo);
            capture->Acquired = NT_SUCCESS(status) ? TRUE : FALSE;
            // The claim made any worker that was missing; its pictures from here on are the
            // pin's, and the camera's stream counts start again with this pin.
            capture->Pictures.Reset(device->Worker != nullptr ? device->Worker->ReadPicturesTaken()
                                                              : 0);
            if (NT_SUCCESS(status)) {
                device->Statistics.Reset();
            }
            if (NT_SUCCESS(status) &&
                !NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &capture->ReferenceClock))) {
                capture->ReferenceClock = nullptr;
            }
            return status;
        }
        capture->StopCapture();
        return STATUS_SUCCESS;
    case KSSTATE_PAUSE:
        if (previous == KSSTATE_RUN) {
            NTSTATUS status = device->PauseCapture(true);
            if (NT_SUCCESS(status)) {
                capture->CaptureState = CapturePaused;
            }
            return status;
        }
        return STATUS_SUCCESS;
    case KSSTATE_RUN: {
        NTSTATUS status;
        if (capture->CaptureState == CapturePaused) {
            status = device->PauseCapture(false);
        } else {
            // The worker counts its conversions from 0 again; no pass delivers before it runs.
            InterlockedExchange(&capture->DeliveredConversion, 0);
            status = device->StartCapture();
        }
        if (NT_SUCCESS(status)) {
            capture->CaptureState = CaptureRunning;
        }
        return status;
    }
    default: return STATUS_SUCCESS;
    }
}

void CapturePin::StopCapture()
{
    if (CaptureState == CaptureStopped) {
        return;
    }
    Device->StopCapture();
    CaptureState = CaptureStopped;
}

NTSTATUS NTAPI CapturePin::Process(PKSPIN pin)
{
    CapturePin* capture = FromKsPin(pin);
    if (capture == nullptr || capture->Device->Worker == nullptr) {
        return STATUS_PENDING;
    }
    CaptureWorker* worker = capture->Device->Worker;
    if (worker->ReadFramesRead() <= 0) {
        return STATUS_PENDING;
    }
    PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    worker->ConvertNewestFrame();
    if (pointer != nullptr) {
        // A pass that runs after the worker stopped neither converts nor copies: the frame
        // stays queued for the next run.
        if (worker->IsRunning() && worker->OutputImage() != nullptr) {
            if (capture->DeliverFrame(pointer, worker->ReadOutputPicture())) {
                capture->CountDelivery(worker->ReadFramesConverted());
            } else {
                InterlockedIncrement(&capture->DroppedFrames);
            }
            KsStreamPointerUnlock(pointer, TRUE);
        } else {
            KsStreamPointerUnlock(pointer, FALSE);
        }
    }
    worker->FinishProcessing();
    return STATUS_PENDING;
}

void CapturePin::CountDelivery(LONG framesConverted)
{
    InterlockedIncrement(&FramesDelivered);
    if (InterlockedExchange(&DeliveredConversion, framesConverted) == framesConverted) {
        InterlockedIncrement(&RepeatedFrames);
    }
}

bool CapturePin::DeliverFrame(PKSSTREAM_POINTER pointer, LONG picture)
{
    PKSSTREAM_HEADER header = pointer->StreamHeader;
    const CaptureDevice& device = *Device;
    const bool rgb32 = OutputFormat == OutputFormatRgb32;
    ULONG rows = device.Geometry.OutputHeight;
    ULONG rowBytes = device.Geometry.OutputWidth * 4;
    ULONG destinationStep = DestinationStride > static_cast<LONG>(rowBytes)
                                ? static_cast<ULONG>(DestinationStride)
                                : rowBytes;
    ULONG sourceStep = device.Geometry.FrameWidth * 4;
    // 32-bit RGB: rows × destination step bytes of the client's frame. The other formats are
    // converted at the output size in their own layout and copied whole; their size is the
    // negotiated one (0 when the format refuses the size, which negotiation never accepts).
    ULONGLONG imageBytes =
        rgb32 ? static_cast<ULONGLONG>(rows) * destinationStep
              : OutputFrameBytes(OutputFormat, device.Geometry.OutputWidth, rows);
    // A frame that cannot hold the image gets nothing, is completed as too small and reports
    // no data.
    if (imageBytes == 0 || imageBytes > pointer->OffsetOut.Remaining) {
        header->DataUsed = 0;
        KsStreamPointerSetStatusCode(pointer, STATUS_BUFFER_TOO_SMALL);
        return false;
    }
    header->DataUsed = static_cast<ULONG>(imageBytes);
    header->Duration = VideoInfo.AvgTimePerFrame;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    if (ReferenceClock != nullptr) {
        // Strictly increasing, even for two frames within one tick of the clock.
        LONGLONG time = ReferenceClock->GetTime();
        if (time <= LastPresentationTime) {
            time = LastPresentationTime + 1;
        }
        LastPresentationTime = time;
        header->PresentationTime.Time = time;
        header->OptionsFlags =
            KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    } else {
        header->PresentationTime.Time = 0;
    }
    FramePictureCounts counts = Pictures.CountDelivery(picture, header->DataUsed);
    Device->Statistics.CountDelivery(counts.NewPicture, counts.DropCount);
    // The frame information follows the header when the client's header is long enough for it
    // (the framework keeps Size within the client's buffer).
    if (header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
        RtlZeroMemory(info, sizeof(KS_FRAME_INFO));
        info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
        info->dwFrameFlags = KS_VIDEO_FLAG_FRAME | KS_VIDEO_FLAG_I_FRAME;
        info->PictureNumber = counts.PictureNumber;
        info->DropCount = counts.DropCount;
    }

    const UCHAR* source = device.Worker->OutputImage();
    UCHAR* destination = pointer->OffsetOut.Data;
    if (!rgb32) {
        RtlCopyMemory(destination, source, static_cast<SIZE_T>(imageBytes));
        return true;
    }
    for (ULONG row = 0; row < rows; ++row) {
        const UCHAR* sourceRow = source + (rows - 1 - row) * sourceStep;
        RtlCopyMemory(destination + row * destinationStep, sourceRow, rowBytes);
    }
    return true;
}
