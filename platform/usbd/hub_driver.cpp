// The hub's bus driver: the driver object that owns every port's physical device object, its
// dispatch routines, and the host-side HubPort that plugs functions in and pulls them out.
#include "port.h"

#include <ntoskrnl/host/pnp.h>

namespace usbd {

namespace {

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI HubDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    Port* port = PortOf(device);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP: return port->DispatchPnp(irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return port->DispatchInternalControl(irp);
    case IRP_MJ_POWER: return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MJ_SYSTEM_CONTROL: {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    default: return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

struct HubDriverObject {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    WCHAR name[12] = L"\\Driver\\usb";

    HubDriverObject()
    {
        object.Type = IO_TYPE_DRIVER;
        object.Size = sizeof(DRIVER_OBJECT);
        object.DriverExtension = &extension;
        extension.DriverObject = &object;
        object.DriverName.Buffer = name;
        object.DriverName.Length = static_cast<USHORT>(11 * sizeof(WCHAR));
        object.DriverName.MaximumLength = object.DriverName.Length;
        for (PDRIVER_DISPATCH& dispatch : object.MajorFunction) {
            dispatch = HubDispatch;
        }
    }
};

}  // namespace

PDRIVER_OBJECT HubDriver()
{
    static HubDriverObject* driver = new HubDriverObject;  // lives until exit
    return &driver->object;
}

NTSTATUS Port::DispatchPnp(PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
        // The stack above is gone: whatever it left pending fails, and the device is off the
        // bus (after a surprise removal it already is).
        Disconnect();
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
        if (capabilities != nullptr) {
            capabilities->Removable = 1;
            capabilities->SurpriseRemovalOK = 1;
            capabilities->Address = number_;
        }
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    default: {
        // A bus driver leaves requests it does not handle as they came.
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    }
}

// ---------------------------------------------------------------------------------------------
// Host side.

std::unique_ptr<HubPort> HubPort::Attach(UsbFunction& function)
{
    auto port = std::make_unique<Port>(function);
    if (!NT_SUCCESS(port->Create())) {
        return nullptr;
    }
    function.Attached(port.get());
    port->Report();
    return std::unique_ptr<HubPort>(new HubPort(std::move(port)));
}

HubPort::HubPort(std::unique_ptr<Port> port) : port_(std::move(port)) {}

HubPort::~HubPort()
{
    Unplug();
    port_->Shutdown();
}

PDEVICE_OBJECT HubPort::PhysicalDevice() const
{
    return port_->PhysicalDevice();
}

NTSTATUS HubPort::ReportStatus() const
{
    return port_->ReportStatus();
}

void HubPort::Unplug()
{
    port_->Disconnect();
    port_->WaitForRemovalWorker();
    pnp::SurpriseRemoveDevice(port_->PhysicalDevice());
}

NTSTATUS HubPort::Remove()
{
    NTSTATUS status = pnp::RemoveDevice(port_->PhysicalDevice());
    if (NT_SUCCESS(status)) {
        port_->Disconnect();
    }
    return status;
}

void HubPort::RefuseSubmissions(NTSTATUS status, USBD_STATUS urbStatus, unsigned count)
{
    port_->RefuseSubmissions(status, urbStatus, count);
}

void HubPort::AcceptSubmissions()
{
    port_->AcceptSubmissions();
}

void HubPort::Disable()
{
    port_->Disable();
}

void HubPort::UnplugDuringNextTransfer()
{
    port_->UnplugDuringNextTransfer();
}

bool HubPort::Connected() const
{
    return port_->Connected();
}

bool HubPort::Enabled() const
{
    return port_->Enabled();
}

std::vector<PacketRecord> HubPort::PacketLog() const
{
    return port_->PacketLog();
}

void HubPort::ClearPacketLog()
{
    port_->ClearPacketLog();
}

}  // namespace usbd
