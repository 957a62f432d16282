// A test driver for the I/O manager tests: each device it creates runs a handler the test gives
// it, and completion routines record what they saw.
#pragma once

#include <wdm.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct DeviceContext {
    Handler handler;
};

inline NTSTATUS NTAPI DispatchToHandler(PDEVICE_OBJECT device, PIRP irp)
{
    DeviceContext* context = *static_cast<DeviceContext**>(device->DeviceExtension);
    return context->handler(device, irp);
}

// A driver object as the PnP manager would hand it over, with every major function going to the
// device's handler.
class TestDriver {
public:
    TestDriver()
    {
        object_.Type = IO_TYPE_DRIVER;
        object_.Size = sizeof(DRIVER_OBJECT);
        object_.DriverExtension = &extension_;
        extension_.DriverObject = &object_;
        for (PDRIVER_DISPATCH& dispatch : object_.MajorFunction) {
            dispatch = DispatchToHandler;
        }
    }
    TestDriver(const TestDriver&) = delete;
    TestDriver& operator=(const TestDriver&) = delete;

    PDRIVER_OBJECT Object() { return &object_; }

    // A device whose requests go to `handler`; nullptr when the device cannot be created.
    PDEVICE_OBJECT CreateDevice(Handler handler)
    {
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(&object_, sizeof(DeviceContext*), nullptr,
                                       FILE_DEVICE_UNKNOWN, 0, FALSE, &device))) {
            return nullptr;
        }
        contexts_.push_back(std::make_unique<DeviceContext>(DeviceContext{std::move(handler)}));
        *static_cast<DeviceContext**>(device->DeviceExtension) = contexts_.back().get();
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }

private:
    DRIVER_OBJECT object_{};
    DRIVER_EXTENSION extension_{};
    std::vector<std::unique_ptr<DeviceContext>> contexts_;
};

// What a completion routine saw, and what it answers.
struct CompletionProbe {
    std::string name;
    std::vector<std::string>* log = nullptr;
    NTSTATUS answer = STATUS_SUCCESS;
    bool propagatePending = true;  // the usual "if PendingReturned, mark pending" line
    std::function<void(PIRP)> action;

    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = 0;
    BOOLEAN pendingReturned = FALSE;
    BOOLEAN cancel = FALSE;
    KIRQL irql = 0;
};

inline NTSTATUS NTAPI RecordCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* probe = static_cast<CompletionProbe*>(context);
    probe->calls++;
    probe->device = device;
    probe->status = irp->IoStatus.Status;
    probe->pendingReturned = irp->PendingReturned;
    probe->cancel = irp->Cancel;
    probe->irql = KeGetCurrentIrql();
    if (probe->log != nullptr) {
        probe->log->push_back(probe->name);
    }
    if (probe->action) {
        probe->action(irp);
    }
    if (probe->answer != STATUS_MORE_PROCESSING_REQUIRED && probe->propagatePending &&
        irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return probe->answer;
}

// Two devices of two drivers: `upper` attached on top of `lower`, as a function driver on a
// physical device object. Torn down in the order a remove request would use.
struct TwoLevelStack {
    TestDriver lowerDriver;
    TestDriver upperDriver;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    PDEVICE_OBJECT attachedTo = nullptr;

    TwoLevelStack(Handler lowerHandler, Handler upperHandler)
    {
        lower = lowerDriver.CreateDevice(std::move(lowerHandler));
        upper = upperDriver.CreateDevice(std::move(upperHandler));
        attachedTo = IoAttachDeviceToDeviceStack(upper, lower);
    }
    ~TwoLevelStack()
    {
        IoDetachDevice(lower);
        IoDeleteDevice(upper);
        IoDeleteDevice(lower);
    }
    TwoLevelStack(const TwoLevelStack&) = delete;
    TwoLevelStack& operator=(const TwoLevelStack&) = delete;
};

// A packet for `device`'s stack as a driver above it builds one, the first driver's location set
// up. With `ownLocation` the packet has one more location, made current for the creator.
inline PIRP AllocateRequest(PDEVICE_OBJECT device, UCHAR majorFunction, bool ownLocation = false)
{
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + (ownLocation ? 1 : 0)), FALSE);
    if (irp == nullptr) {
        return nullptr;
    }
    if (ownLocation) {
        IoSetNextIrpStackLocation(irp);
    }
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MajorFunction = majorFunction;
    return irp;
}

}  // namespace iotest
