// The capture device: creation at Add, start and stop, filter create and close, and its end.
#include "device/capture_device.h"

#include "camera/sensor_programming.h"
#include "capture/capture_worker.h"
#include "control/settings_persistence.h"
#include "device/pool_tags.h"
#include "imaging/image_processor.h"
#include "pin/capture_pin.h"

namespace {

// The reference string the filter factory is registered under (the call takes it writable).
WCHAR FilterReferenceString[] = L"GLOBAL";

// The driver's object behind one open filter.
struct CaptureFilter {
    PKSFILTER Filter;
};

void NTAPI ReleaseDevice(PVOID item)
{
    static_cast<CaptureDevice*>(item)->DestroyDevice(1);
}

void NTAPI ReleaseWorker(PVOID item)
{
    static_cast<CaptureWorker*>(item)->Destroy(1);
}

void NTAPI ReleaseFilter(PVOID item)
{
    PoolDelete(static_cast<CaptureFilter*>(item), DeviceObjectPoolTag);
}

}  // namespace

CaptureDevice::CaptureDevice(PKSDEVICE device) : Device(device) {}

CaptureDevice* CaptureDevice::FromKsDevice(PKSDEVICE device)
{
    return device == nullptr ? nullptr : static_cast<CaptureDevice*>(device->Context);
}

NTSTATUS NTAPI CaptureDevice::Add(PKSDEVICE device)
{
    auto* object = new (NonPagedPool, DeviceObjectPoolTag) CaptureDevice(device);
    if (object == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, object, ReleaseDevice);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        object->DestroyDevice(1);
        return status;
    }
    device->Context = object;
    return object->InitializeDefaults();
}

NTSTATUS CaptureDevice::InitializeDefaults()
{
    InitializeDeviceLock(&Lock);
    BaseBayerPhase = 3;
    ChipVersion = 0x1300;
    RtlZeroMemory(&Link, sizeof Link);
    RtlZeroMemory(&Settings, sizeof Settings);
    Link.PhysicalDevice = Device->PhysicalDeviceObject;
    Link.LowerDevice = Device->NextDeviceObject;
    Link.FunctionalDevice = Device->FunctionalDeviceObject;
    ApplyDeviceDefaults(&Settings, BaseBayerPhase);
    InitializeCameraFormats(&Formats);
    SetRegionOfInterest(this, 0, 0, SensorWidth, SensorHeight, 0);
    InitializeFrameTransfer(&Transfer);
    InitializeCommandChannel(&Channel);
    CreateWorker();
    CreateProcessor();
    return STATUS_SUCCESS;
}

void CaptureDevice::CreateWorker()
{
    if (Worker != nullptr && !WorkerInBag) {
        Worker->Destroy(1);
    }
    Worker = CaptureWorker::Create(this);
    WorkerInBag = false;
}

void CaptureDevice::CreateProcessor()
{
    DestroyProcessor();
    Processor = ImageProcessor::Create();
}

void CaptureDevice::DestroyProcessor()
{
    if (Processor != nullptr) {
        ImageProcessor::Destroy(Processor);
        Processor = nullptr;
    }
}

NTSTATUS NTAPI CaptureDevice::Start(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST)
{
    CaptureDevice* object = FromKsDevice(device);
    if (object == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    KsAcquireDevice(device);
    if (!device->Started) {
        // Without its filter factory nobody could ever open the camera: the start fails.
        NTSTATUS factory = KsCreateFilterFactory(
            device->FunctionalDeviceObject, &object->Formats.FilterDescriptor,
            FilterReferenceString, nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
        if (!NT_SUCCESS(factory)) {
            KsReleaseDevice(device);
            return factory;
        }
        if (object->Worker != nullptr && !object->WorkerInBag) {
            if (NT_SUCCESS(KsAddItemToObjectBag(device->Bag, object->Worker, ReleaseWorker))) {
                object->WorkerInBag = true;
            } else {
                object->Worker->Destroy(1);
                object->Worker = nullptr;
            }
        }
    }
    NTSTATUS status;
    {
        // The filter factory exists from here on: a filter's property requests may already come.
        DeviceLockGuard guard(&object->Lock);
        // A processor destroyed by an earlier stop is made again, so the camera can stream after
        // a stop and start; a worker or processor an allocation failure left out is made at the
        // stream's acquire.
        if (object->Processor == nullptr) {
            object->CreateProcessor();
        }
        status = ConfigureDevice(&object->Link);
        InitializeCamera(object);
        object->DeviceStarted = NT_SUCCESS(status);
    }
    KsReleaseDevice(device);
    return status;
}

void CaptureDevice::HaltStream()
{
    // Stream calls from now on fail with STATUS_DEVICE_NOT_READY.
    DeviceStarted = false;
    if (Worker != nullptr) {
        // Joins the capture thread after its reads were cancelled, waits for a conversion in
        // progress and unbinds the processor. The pin keeps its state; its next run starts
        // capture again, or fails while the device is not started.
        Worker->StopWorker();
    }
}

void NTAPI CaptureDevice::Stop(PKSDEVICE device, PIRP)
{
    CaptureDevice* object = FromKsDevice(device);
    if (object == nullptr) {
        return;
    }
    // The stream stops before anything it uses is released. The capture thread is joined
    // without the device lock held; the settings and the processor are then released under it.
    KsAcquireDevice(device);
    object->HaltStream();
    {
        DeviceLockGuard guard(&object->Lock);
        SaveSettings(object);
        UnconfigureDevice(&object->Link);
        object->DestroyProcessor();
    }
    KsReleaseDevice(device);
}

void NTAPI CaptureDevice::SurpriseRemoval(PKSDEVICE device, PIRP)
{
    CaptureDevice* object = FromKsDevice(device);
    if (object == nullptr) {
        return;
    }
    // The camera is gone: capture stops now; what it used is released at the stop and removal
    // that follow.
    KsAcquireDevice(device);
    object->HaltStream();
    KsReleaseDevice(device);
}

NTSTATUS NTAPI CaptureDevice::FilterCreate(PKSFILTER filter, PIRP)
{
    auto* object = new (NonPagedPool, DeviceObjectPoolTag) CaptureFilter{filter};
    if (object == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, object, ReleaseFilter);
    if (!NT_SUCCESS(status)) {
        PoolDelete(object, DeviceObjectPoolTag);
        return status;
    }
    filter->Context = object;
    // A window set while memory was short may have left the offered formats behind.
    CaptureDevice* device = FromKsDevice(KsGetDevice(filter));
    if (device != nullptr) {
        DeviceLockGuard guard(&device->Lock);
        RefreshVideoFormats(device);
    }
    return status;
}

NTSTATUS NTAPI CaptureDevice::FilterClose(PKSFILTER filter, PIRP)
{
    CaptureDevice* object = FromKsDevice(KsGetDevice(filter));
    if (object != nullptr) {
        DeviceLockGuard guard(&object->Lock);
        SaveSettings(object);
    }
    return STATUS_SUCCESS;
}

CaptureDevice* CaptureDevice::DestroyDevice(ULONG flags)
{
    ReleaseFrameTransfer(&Transfer);
    // A device removed without ever being started still owns its worker and its processor.
    if (Worker != nullptr && !WorkerInBag) {
        Worker->Destroy(1);
    }
    Worker = nullptr;
    DestroyProcessor();
    ReleaseCameraFormats(&Formats);
    // The device stack below is gone by now: release the configuration without a request.
    ReleaseConfiguration(&Link);
    if (flags & 1) {
        this->~CaptureDevice();
        ExFreePoolWithTag(this, DeviceObjectPoolTag);
    }
    return this;
}

void CaptureDevice::GetTransferSize(ULONG* size)
{
    *size = Geometry.TransferSize;
}

void CaptureDevice::GetRawOffset(ULONG* offset)
{
    *offset = Geometry.RawOffset;
}

void CaptureDevice::GetRawPitch(ULONG* pitch)
{
    *pitch = Geometry.RawPitch;
}

void CaptureDevice::StopSensor()
{
    StopFrameReads(this);
}

void CaptureDevice::NotifyFrameReady()
{
    StreamOwner->NotifyFrameReady();
}

void CaptureDevice::AddOpenPin()
{
    DeviceLockGuard guard(&Lock);
    InterlockedIncrement(&PinOpen);
}

void CaptureDevice::RemoveOpenPin()
{
    DeviceLockGuard guard(&Lock);
    InterlockedDecrement(&PinOpen);
}

bool CaptureDevice::PinExists()
{
    return InterlockedExchangeAdd(&PinOpen, 0) != 0;
}

NTSTATUS CaptureDevice::CreateMissingParts()
{
    if (Worker == nullptr) {
        CreateWorker();
    }
    if (Processor == nullptr) {
        CreateProcessor();
    }
    return Worker == nullptr || Processor == nullptr ? STATUS_INSUFFICIENT_RESOURCES
                                                     : STATUS_SUCCESS;
}

void CaptureDevice::MirrorSettingsIntoProcessor()
{
    Processor->SetWhiteBalance(static_cast<LONG>(Settings.WhiteBalance));
    Processor->SetBayerPhase(static_cast<LONG>(Settings.BayerPhase));
    Processor->SetColorEnable(static_cast<LONG>(Settings.ColorEnable));
    Processor->SetRedGain(Settings.RedGain);
    Processor->SetGreenGain(Settings.GreenGain);
    Processor->SetBlueGain(Settings.BlueGain);
    Processor->SetColorCorrection(static_cast<LONG>(Settings.ColorCorrection));
    Processor->SetBrightness(Settings.Brightness);
    Processor->SetContrast(Settings.Contrast);
    Processor->SetSaturation(Settings.Saturation);
    Processor->SetHue(Settings.Hue);
    Processor->SetOutputFormat(static_cast<LONG>(StreamOutputFormat));
}

NTSTATUS CaptureDevice::AcquireStream(CapturePin* pin, PKS_VIDEOINFOHEADER format)
{
    if (InterlockedCompareExchange(&StreamClaimed, 1, 0) != 0) {
        return STATUS_SHARING_VIOLATION;
    }
    StreamFormat = format;
    // One of the offered formats; negotiation let no other through.
    ULONG outputFormat = FormatOfBitmapHeader(format->bmiHeader);
    if (outputFormat >= OutputFormatCount) {
        ReleaseStream();
        return STATUS_INVALID_PARAMETER;
    }
    StreamOutputFormat = outputFormat;
    KsAcquireDevice(Device);
    NTSTATUS status;
    {
        // The processor is seeded from the settings another filter's requests may be changing.
        DeviceLockGuard guard(&Lock);
        status = DeviceStarted ? CreateMissingParts() : STATUS_DEVICE_NOT_READY;
        if (NT_SUCCESS(status)) {
            MirrorSettingsIntoProcessor();
            StreamOwner = pin;
        }
    }
    KsReleaseDevice(Device);
    if (!NT_SUCCESS(status)) {
        ReleaseStream();
    }
    return status;
}

void CaptureDevice::ReleaseStream()
{
    StreamOwner = nullptr;
    StreamFormat = nullptr;
    InterlockedExchange(&StreamClaimed, 0);
}

NTSTATUS CaptureDevice::StartCaptureLocked()
{
    if (!DeviceStarted) {
        return STATUS_DEVICE_NOT_READY;
    }
    // The processor is a new one when the device was stopped and started since the acquire.
    bool newProcessor = Processor == nullptr;
    NTSTATUS status = CreateMissingParts();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UpdateBayerPhase(this);
    if (newProcessor) {
        MirrorSettingsIntoProcessor();
    } else {
        Processor->SetBayerPhase(static_cast<LONG>(Settings.BayerPhase));
        Processor->SetOutputFormat(static_cast<LONG>(StreamOutputFormat));
    }
    Processor->SetOutputWidth(Geometry.OutputWidth);
    return Worker->StartWorker(Processor, static_cast<LONG>(Geometry.FrameWidth),
                               static_cast<LONG>(Geometry.FrameHeight));
}

NTSTATUS CaptureDevice::StartCapture()
{
    KsAcquireDevice(Device);
    NTSTATUS status;
    {
        // The sensor is programmed, and the worker sized, from one consistent view of the
        // settings and the geometry; the geometry then stays fixed until the last pin closes, so
        // the capture thread and the process pass read what the stream was started with.
        DeviceLockGuard guard(&Lock);
        status = StartCaptureLocked();
    }
    KsReleaseDevice(Device);
    return status;
}

NTSTATUS CaptureDevice::PauseCapture(bool pause)
{
    KsAcquireDevice(Device);
    NTSTATUS status = STATUS_SUCCESS;
    if (Worker != nullptr) {
        if (pause) {
            Worker->PauseWorker(true);
        } else if (Worker->IsPaused()) {
            status = DeviceStarted ? Worker->PauseWorker(false) : STATUS_DEVICE_NOT_READY;
        } else if (!Worker->IsRunning()) {
            // A stop of the device ended capture under the paused pin: run starts it afresh.
            status = StartCaptureLocked();
        }
    } else if (!pause) {
        status = StartCaptureLocked();
    }
    KsReleaseDevice(Device);
    return status;
}

NTSTATUS CaptureDevice::StopCapture()
{
    KsAcquireDevice(Device);
    if (Worker != nullptr) {
        Worker->StopWorker();
    }
    KsReleaseDevice(Device);
    return STATUS_SUCCESS;
}
