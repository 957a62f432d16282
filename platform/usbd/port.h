// One hub port with the function plugged into it (platform-internal): the port's physical
// device object, the configuration the client selected with its pipes and their transfer
// queues, the IN data the function has sent, and the host-controller thread that moves data.
//
// Everything below is guarded by the port's spin lock. The function is never called with the
// lock held (it may call SendIn from inside OutTransfer), and packets are never completed with
// it held.
#pragma once

#include "host/hub.h"
#include "host/usb_function.h"

#include <usbdi.h>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace usbd {

// A bulk or interrupt transfer waiting in its pipe's queue (its packet holds a cancel routine).
struct QueuedTransfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    PUCHAR buffer = nullptr;  // system address of the data, from TransferBuffer or the MDL
};

struct Pipe {
    USBD_PIPE_HANDLE handle = nullptr;
    UCHAR endpointAddress = 0;
    USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
    ULONG maximumTransferSize = 0;
    bool halted = false;
    std::deque<QueuedTransfer> queue;
    ULONG inFlight = 0;  // taken off the queue by the host controller, not completed yet

    bool In() const { return (endpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0; }
};

// What the function has sent on one IN endpoint and not yet been read.
struct InStream {
    std::deque<InMessage> messages;
    std::size_t offset = 0;  // bytes of the first message already read
    EndpointResult failNext = EndpointResult::Ok;
};

// A transfer that has ended, waiting to be completed at DISPATCH_LEVEL.
struct FinishedTransfer {
    PIRP irp = nullptr;
    PURB urb = nullptr;
    UCHAR endpointAddress = 0;
    ULONG moved = 0;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    std::vector<std::uint8_t> data;  // OUT: the bytes given to the function
};

// One interface of a select-configuration request, checked against the configuration
// descriptor.
struct InterfaceSelection {
    PUSBD_INTERFACE_INFORMATION information = nullptr;
    PUSB_INTERFACE_DESCRIPTOR descriptor = nullptr;
    std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
};

// NTSTATUS of a request packet whose URB ends with `status`.
NTSTATUS NtStatusFromUsbd(USBD_STATUS status);

// Completes a URB request at once (in the submitter's context).
NTSTATUS CompleteUrbRequest(PIRP irp, PURB urb, USBD_STATUS status);

// Holds a spin lock for a scope (at DISPATCH_LEVEL while held).
class SpinLockGuard {
public:
    explicit SpinLockGuard(KSPIN_LOCK& lock) : lock_(lock) { KeAcquireSpinLock(&lock_, &irql_); }
    ~SpinLockGuard() { KeReleaseSpinLock(&lock_, irql_); }
    SpinLockGuard(const SpinLockGuard&) = delete;
    SpinLockGuard& operator=(const SpinLockGuard&) = delete;

private:
    KSPIN_LOCK& lock_;
    KIRQL irql_ = PASSIVE_LEVEL;
};

class Port final : public UsbPort {
public:
    explicit Port(UsbFunction& function);
    ~Port() override;
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    // Creates the physical device object and the host-controller thread.
    NTSTATUS Create();
    // Reports the device to the PnP manager.
    void Report();
    // Ends the host-controller thread and deletes the physical device object.
    void Shutdown();

    PDEVICE_OBJECT PhysicalDevice() const { return pdo_; }
    NTSTATUS ReportStatus() const { return reportStatus_; }
    UsbFunction& Function() { return function_; }

    // UsbPort: the function's side.
    using UsbPort::SendIn;
    void SendIn(std::uint8_t endpointAddress, InMessage message) override;
    void FailNextIn(std::uint8_t endpointAddress, EndpointResult result) override;
    void FlushIn(std::uint8_t endpointAddress) override;

    // Requests from the device stack.
    NTSTATUS DispatchPnp(PIRP irp);
    NTSTATUS DispatchInternalControl(PIRP irp);

    // Hardware events and faults (host side).
    void Disconnect();
    void Disable();
    void RefuseSubmissions(NTSTATUS status, USBD_STATUS urbStatus, unsigned count);
    void AcceptSubmissions();
    void UnplugDuringNextTransfer();
    void WaitForRemovalWorker();
    bool Connected();
    bool Enabled();

    std::vector<PacketRecord> PacketLog() const;
    void ClearPacketLog();

    // Completes finished transfers at DISPATCH_LEVEL, as the host controller's DPC does, and
    // records them in the packet log.
    void Finish(std::vector<FinishedTransfer>& finished);

    // Host-controller thread.
    void HostControllerLoop();
    // Cancel routine of queued transfers.
    void CancelQueued(PIRP irp);
    // Removal worker: tells the PnP manager the device is gone.
    void RemovalWorker();

private:
    NTSTATUS SubmitUrb(PIRP irp, PURB urb);
    NTSTATUS GetDescriptor(PIRP irp, PURB urb);
    NTSTATUS SelectConfiguration(PIRP irp, PURB urb);
    NTSTATUS Unconfigure(PIRP irp, PURB urb);
    void AddPipes(InterfaceSelection& selection);
    NTSTATUS AbortPipe(PIRP irp, PURB urb);
    NTSTATUS ResetPipe(PIRP irp, PURB urb, bool resetHostSide, bool clearDeviceHalt);
    NTSTATUS SubmitTransfer(PIRP irp, PURB urb);
    NTSTATUS GetPortStatus(PIRP irp);
    NTSTATUS ResetPort(PIRP irp);

    // With the lock held.
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    // Takes every queued transfer of `pipe` (of all active pipes when null) whose cancel routine
    // it could clear, as finished with `status`.
    void TakeQueued(Pipe* pipe, USBD_STATUS status, std::vector<FinishedTransfer>& finished);
    // Active pipes become retired: no longer found by handle, kept until the port goes.
    void RetirePipes(std::vector<FinishedTransfer>& finished);
    bool PipesBusy(Pipe* pipe) const;

    // Waits until the host controller has completed what it took (of `pipe`, or of every pipe).
    void WaitForPipesIdle(Pipe* pipe);

    // Host controller: picks the next piece of work; false when there is none.
    enum class Work { None, Out, Finished, Unplug };
    struct Step {
        Work work = Work::None;
        Pipe* pipe = nullptr;
        QueuedTransfer transfer;
        FinishedTransfer finished;
    };
    Step NextStep();
    void RunOut(Step& step);
    void DoneInFlight(Pipe* pipe);
    void StartRemovalWorker();

    UsbFunction& function_;
    PDEVICE_OBJECT pdo_ = nullptr;
    ULONG number_ = 0;
    NTSTATUS reportStatus_ = STATUS_NO_SUCH_DEVICE;

    mutable KSPIN_LOCK lock_ = 0;
    bool connected_ = true;
    bool enabled_ = true;
    bool detachedCalled_ = false;
    UCHAR configurationValue_ = 0;
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    std::vector<std::unique_ptr<Pipe>> pipes_;
    std::vector<std::unique_ptr<Pipe>> retired_;
    std::map<std::uint8_t, InStream> inStreams_;
    std::size_t nextPipe_ = 0;  // round robin of the host controller

    bool refusing_ = false;
    NTSTATUS refuseStatus_ = STATUS_UNSUCCESSFUL;
    USBD_STATUS refuseUrbStatus_ = USBD_STATUS_REQUEST_FAILED;
    unsigned refuseCount_ = 0;
    bool unplugOnNextTransfer_ = false;

    KEVENT work_{};        // synchronization: wakes the host controller
    KEVENT flightDone_{};  // synchronization: the host controller completed a transfer
    bool stopping_ = false;
    HANDLE thread_ = nullptr;
    PKTHREAD threadObject_ = nullptr;
    HANDLE removalWorker_ = nullptr;

    mutable std::mutex logLock_;
    std::vector<PacketRecord> log_;
};

// The port a physical device object belongs to.
Port* PortOf(PDEVICE_OBJECT device);

// Unique handles for configurations, interfaces and pipes (never null, never reused).
PVOID NewHandle();

}  // namespace usbd
