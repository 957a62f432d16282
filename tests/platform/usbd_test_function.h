// A small USB function for the host stack tests: a configuration with two interfaces (three
// bulk endpoints on the first, an interrupt endpoint on the second), and a record of what the
// host did to it. Helpers send URBs to a port as a client driver would.
#pragma once

#include <usbd/host/hub.h>
#include <usbd/host/usb_function.h>

#include <gtest/gtest.h>

#include <usbdlib.h>
#include <wdm.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace usbdtest {

constexpr UCHAR kCommandOut = 0x01;  // bulk OUT, 512
constexpr UCHAR kReplyIn = 0x82;     // bulk IN, 512
constexpr UCHAR kFrameIn = 0x83;     // bulk IN, 512
constexpr UCHAR kEventIn = 0x84;     // interrupt IN, 8, interval 10
constexpr UCHAR kConfigurationValue = 1;

class TestFunction final : public usbd::UsbFunction {
    static std::uint8_t Low(USHORT value) { return static_cast<std::uint8_t>(value); }
    static std::uint8_t High(USHORT value) { return static_cast<std::uint8_t>(value >> 8); }

public:
    explicit TestFunction(USHORT vendor = 0x1D6B, USHORT product = 0x7357, USHORT release = 0x0102)
    {
        // clang-format off
        device_ = {18, 1, 0x00, 0x02, 0xFF, 0xFF, 0xFF, 64,
                   Low(vendor), High(vendor), Low(product), High(product),
                   Low(release), High(release), 1, 2, 0, 1};
        configuration_ = {
            9, 2, 0, 0, 2, kConfigurationValue, 0, 0x80, 250,
            // interface 0: vendor class, three bulk endpoints
            9, 4, 0, 0, 3, 0xFF, 0x01, 0x02, 0,
            7, 5, kCommandOut, 2, 0x00, 0x02, 0,
            7, 5, kReplyIn, 2, 0x00, 0x02, 0,
            7, 5, kFrameIn, 2, 0x00, 0x02, 0,
            // interface 1, alternate 0: an interrupt endpoint behind a class descriptor
            9, 4, 1, 0, 1, 0x03, 0x00, 0x00, 0,
            9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x20, 0x00,
            7, 5, kEventIn, 3, 8, 0, 10,
            // interface 1, alternate 1: no endpoints
            9, 4, 1, 1, 0, 0x03, 0x00, 0x00, 0,
        };
        // clang-format on
        configuration_[2] = static_cast<std::uint8_t>(configuration_.size());
        configuration_[3] = static_cast<std::uint8_t>(configuration_.size() >> 8);
    }

    std::vector<std::uint8_t> DeviceDescriptor() const override { return device_; }
    std::vector<std::uint8_t> ConfigurationDescriptor(std::uint8_t index) const override
    {
        return index == 0 ? configuration_ : std::vector<std::uint8_t>{};
    }
    bool SetConfiguration(std::uint8_t value) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        configurations_.push_back(value);
        return value == 0 || (value == kConfigurationValue && acceptConfiguration_);
    }
    usbd::EndpointResult OutTransfer(std::uint8_t endpoint, const std::uint8_t* data,
                                     std::size_t length) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        usbd::EndpointResult result = usbd::EndpointResult::Ok;
        if (!outResults_.empty()) {
            result = outResults_.front();
            outResults_.erase(outResults_.begin());
        }
        if (result == usbd::EndpointResult::Ok) {
            outs_.push_back({endpoint, std::vector<std::uint8_t>(data, data + length)});
        }
        return result;
    }
    void ClearHalt(std::uint8_t endpoint) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        clearedHalts_.push_back(endpoint);
    }
    void PortReset() override
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++portResets_;
    }
    void Attached(usbd::UsbPort* port) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        port_ = port;
        ++attached_;
    }
    void Detached() override
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++detached_;
    }

    // Test controls and records.
    struct Out {
        std::uint8_t endpoint;
        std::vector<std::uint8_t> data;
    };
    usbd::UsbPort* Port()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return port_;
    }
    void QueueOutResult(usbd::EndpointResult result)
    {
        std::lock_guard<std::mutex> guard(lock_);
        outResults_.push_back(result);
    }
    void RefuseConfiguration()
    {
        std::lock_guard<std::mutex> guard(lock_);
        acceptConfiguration_ = false;
    }
    std::vector<Out> Outs()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return outs_;
    }
    std::vector<std::uint8_t> Configurations()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return configurations_;
    }
    std::vector<std::uint8_t> ClearedHalts()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return clearedHalts_;
    }
    int PortResets()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return portResets_;
    }
    int AttachedCount()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return attached_;
    }
    int DetachedCount()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return detached_;
    }
    const std::vector<std::uint8_t>& ConfigurationBytes() const { return configuration_; }

private:
    std::vector<std::uint8_t> device_;
    std::vector<std::uint8_t> configuration_;
    std::mutex lock_;
    usbd::UsbPort* port_ = nullptr;
    std::vector<usbd::EndpointResult> outResults_;
    bool acceptConfiguration_ = true;
    std::vector<Out> outs_;
    std::vector<std::uint8_t> configurations_;
    std::vector<std::uint8_t> clearedHalts_;
    int portResets_ = 0;
    int attached_ = 0;
    int detached_ = 0;
};

// Sends an internal device-control request to the port and waits for it, as a driver's
// synchronous submit does. Argument1 is `argument`.
inline NTSTATUS SendInternal(PDEVICE_OBJECT device, ULONG code, PVOID argument)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    PIRP irp = IoBuildDeviceIoControlRequest(code, device, nullptr, 0, nullptr, 0, TRUE, &event,
                                             &ioStatus);
    if (irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -5000 * 10000LL;  // only so that a lost request cannot hang the run
        EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                  STATUS_SUCCESS);
        status = ioStatus.Status;
    }
    return status;
}

inline NTSTATUS SubmitUrb(PDEVICE_OBJECT device, PURB urb)
{
    return SendInternal(device, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

// One asynchronous bulk or interrupt transfer, with its own packet and URB, as a driver issues
// a chunk: the completion routine records the status, the IRQL and keeps the packet.
class Transfer {
public:
    Transfer() { KeInitializeEvent(&done_, NotificationEvent, FALSE); }
    ~Transfer()
    {
        if (irp_ != nullptr) {
            if (started_ && !Done()) {
                IoCancelIrp(irp_);
                Wait();
            }
            IoFreeIrp(irp_);
        }
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    // Issues the transfer; returns what IoCallDriver returned.
    NTSTATUS Start(PDEVICE_OBJECT device, USBD_PIPE_HANDLE pipe, ULONG flags, PVOID buffer,
                   PMDL mdl, ULONG length)
    {
        irp_ = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
        if (irp_ == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        IoSetNextIrpStackLocation(irp_);
        std::memset(&urb_, 0, sizeof(urb_));
        UsbBuildInterruptOrBulkTransferRequest(&urb_, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               buffer, mdl, length, flags, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb_;
        IoSetCompletionRoutine(irp_, OnComplete, this, TRUE, TRUE, TRUE);
        started_ = true;
        return IoCallDriver(device, irp_);
    }

    bool Done() { return KeReadStateEvent(&done_) != 0; }
    bool Wait(LONGLONG milliseconds = 5000)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -milliseconds * 10000LL;
        return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &timeout) ==
               STATUS_SUCCESS;
    }
    PIRP Irp() { return irp_; }
    URB& Urb() { return urb_; }
    NTSTATUS Status() const { return status_; }
    USBD_STATUS UrbStatus() const { return urb_.UrbHeader.Status; }
    ULONG Moved() const { return urb_.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    KIRQL CompletionIrql() const { return irql_; }
    int Completions() const { return completions_; }
    ULONG Sequence() const { return sequence_; }

private:
    static NTSTATUS NTAPI OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
    {
        static std::atomic<ULONG> order{0};
        auto* self = static_cast<Transfer*>(context);
        self->status_ = irp->IoStatus.Status;
        self->irql_ = KeGetCurrentIrql();
        self->sequence_ = ++order;
        self->completions_++;
        KeSetEvent(&self->done_, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    PIRP irp_ = nullptr;
    URB urb_{};
    KEVENT done_{};
    bool started_ = false;
    NTSTATUS status_ = STATUS_PENDING;
    KIRQL irql_ = PASSIVE_LEVEL;
    ULONG sequence_ = 0;
    int completions_ = 0;
};

// A function on a port, configured: the interface information of both interfaces as the
// port filled them in.
class PortTest : public testing::Test {
protected:
    void SetUp() override
    {
        port = usbd::HubPort::Attach(function);
        ASSERT_NE(port, nullptr);
        pdo = port->PhysicalDevice();
    }
    void TearDown() override
    {
        port.reset();
        if (urb != nullptr) {
            ExFreePool(urb);
        }
    }

    // Selects the configuration with every interface at alternate setting 0; `maximumTransfer`
    // goes into every pipe of the request.
    NTSTATUS Configure(ULONG maximumTransfer = 0xFFFFFFFF)
    {
        auto* configuration = ConfigurationDescriptor();
        USBD_INTERFACE_LIST_ENTRY list[3] = {};
        list[0].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
        list[1].InterfaceDescriptor =
            USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 0, -1, -1, -1);
        if (urb != nullptr) {
            ExFreePool(urb);
        }
        urb = USBD_CreateConfigurationRequestEx(configuration, list);
        if (urb == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        first = list[0].Interface;
        second = list[1].Interface;
        for (ULONG i = 0; i < first->NumberOfPipes; ++i) {
            first->Pipes[i].MaximumTransferSize = maximumTransfer;
        }
        return SubmitUrb(pdo, urb);
    }

    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor()
    {
        configurationBytes = function.ConfigurationBytes();
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configurationBytes.data());
    }

    USBD_PIPE_HANDLE Pipe(int index) const { return first->Pipes[index].PipeHandle; }
    USBD_PIPE_HANDLE CommandPipe() const { return Pipe(0); }
    USBD_PIPE_HANDLE ReplyPipe() const { return Pipe(1); }
    USBD_PIPE_HANDLE FramePipe() const { return Pipe(2); }

    // A pipe request (abort, resets) for `pipe`.
    NTSTATUS PipeRequest(USHORT urbFunction, USBD_PIPE_HANDLE pipe,
                         USBD_STATUS* urbStatus = nullptr)
    {
        URB request{};
        request.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        request.UrbHeader.Function = urbFunction;
        request.UrbPipeRequest.PipeHandle = pipe;
        NTSTATUS status = SubmitUrb(pdo, &request);
        if (urbStatus != nullptr) {
            *urbStatus = request.UrbHeader.Status;
        }
        return status;
    }

    ULONG PortStatus(NTSTATUS* status = nullptr)
    {
        ULONG bits = 0xFFFFFFFF;
        NTSTATUS result = SendInternal(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits);
        if (status != nullptr) {
            *status = result;
        }
        return bits;
    }

    TestFunction function;
    std::unique_ptr<usbd::HubPort> port;
    PDEVICE_OBJECT pdo = nullptr;
    PURB urb = nullptr;
    PUSBD_INTERFACE_INFORMATION first = nullptr;
    PUSBD_INTERFACE_INFORMATION second = nullptr;
    std::vector<std::uint8_t> configurationBytes;
};

}  // namespace usbdtest
