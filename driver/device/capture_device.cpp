// The capture device: creation at Add, start and stop, filter create and close, and its end.
#include "device/capture_device.h"

#include "camera/sensor_programming.h"
#include "control/settings_persistence.h"
#include "device/pool_tags.h"
#include "imaging/image_processor.h"

namespace {

// The driver's object behind one open filter.
struct CaptureFilter {
    PKSFILTER Filter;
};

void NTAPI ReleaseDevice(PVOID item)
{
    static_cast<CaptureDevice*>(item)->DestroyDevice(1);
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
    InitializeCommandChannel(&Channel);
    CreateProcessor();
    return STATUS_SUCCESS;
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
    if (!device->Started) {
        KsAcquireDevice(device);
        KsCreateFilterFactory(device->FunctionalDeviceObject, &object->Formats.FilterDescriptor,
                              L"GLOBAL", nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr,
                              nullptr);
        KsReleaseDevice(device);
    }
    // A processor destroyed by an earlier stop is made again, so the camera can stream after a
    // stop and start.
    if (object->Processor == nullptr) {
        object->Processor = ImageProcessor::Create();
    }
    NTSTATUS status = ConfigureDevice(&object->Link);
    InitializeCamera(object);
    return status;
}

void NTAPI CaptureDevice::Stop(PKSDEVICE device, PIRP)
{
    CaptureDevice* object = FromKsDevice(device);
    if (object == nullptr) {
        return;
    }
    SaveSettings(object);
    UnconfigureDevice(&object->Link);
    object->DestroyProcessor();
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
    return status;
}

NTSTATUS NTAPI CaptureDevice::FilterClose(PKSFILTER filter, PIRP)
{
    CaptureDevice* object = FromKsDevice(KsGetDevice(filter));
    if (object != nullptr) {
        SaveSettings(object);
    }
    return STATUS_SUCCESS;
}

CaptureDevice* CaptureDevice::DestroyDevice(ULONG flags)
{
    // A device removed without ever being started still owns its processor.
    DestroyProcessor();
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
    AbortPipes(&Link);
}
