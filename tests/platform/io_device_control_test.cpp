// Device-control requests built by the I/O manager: buffers as the transfer method says, the
// caller's event and status block at completion, and the packet freed by the I/O manager.
#include "io_test_driver.h"

#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

#include <cstring>
#include <thread>

namespace {

using iotest::CompletionProbe;
using iotest::RecordCompletion;

constexpr ULONG kBufferedIoctl =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kOutDirectIoctl =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_OUT_DIRECT, FILE_READ_ACCESS);
constexpr ULONG kInternalSubmit = CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS);

struct Request {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    Request()
    {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        iosb.Status = STATUS_PENDING;
        iosb.Information = 0xDEAD;
    }
};

class IoDeviceControl : public testing::Test {
protected:
    void SetUp() override { epoch_ = vf::MarkPoolEpoch(); }
    // Nothing of the request stays behind: packet, system buffer and MDLs are the I/O manager's.
    void ExpectNothingOutstanding() { EXPECT_TRUE(vf::OutstandingPool(epoch_).empty()); }

    iotest::TestDriver driver_;
    std::uint64_t epoch_ = 0;
};

TEST(IoControlCode, FieldsAreWhereThePlatformPutsThem)
{
    EXPECT_EQ(kInternalSubmit, 0x220003u);
    EXPECT_EQ(CTL_CODE(FILE_DEVICE_KS, 0x000, METHOD_NEITHER, FILE_ANY_ACCESS), 0x2F0003u);
    EXPECT_EQ(DEVICE_TYPE_FROM_CTL_CODE(kOutDirectIoctl), static_cast<ULONG>(FILE_DEVICE_UNKNOWN));
    EXPECT_EQ(METHOD_FROM_CTL_CODE(kOutDirectIoctl), static_cast<ULONG>(METHOD_OUT_DIRECT));
    EXPECT_EQ(IoGetFunctionCodeFromCtlCode(kOutDirectIoctl), 0x802u);
}

TEST_F(IoDeviceControl, BufferedRequestCopiesInputInAndOutputBack)
{
    const char input[] = "ping";
    char output[16];
    std::memset(output, 'x', sizeof(output));
    PDEVICE_OBJECT device = driver_.CreateDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, kBufferedIoctl);
        EXPECT_EQ(location->Parameters.DeviceIoControl.InputBufferLength, sizeof(input));
        EXPECT_EQ(location->Parameters.DeviceIoControl.OutputBufferLength, sizeof(output));
        auto buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_NE(buffer, input);
        EXPECT_STREQ(buffer, "ping");
        std::memcpy(buffer, "pong!", 5);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 5;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    Request request;
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, device, const_cast<char*>(input),
                                             sizeof(input), output, sizeof(output), FALSE,
                                             &request.event, &request.iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);

    EXPECT_NE(KeReadStateEvent(&request.event), 0);
    EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.iosb.Information, 5u);
    EXPECT_EQ(std::memcmp(output, "pong!", 5), 0);
    EXPECT_EQ(output[5], 'x');  // only Information bytes come back
    IoDeleteDevice(device);
    ExpectNothingOutstanding();
}

TEST_F(IoDeviceControl, FailedBufferedRequestCopiesNothingBack)
{
    char output[8] = "keep";
    PDEVICE_OBJECT device = driver_.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "junk", 4);
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 4;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    });
    Request request;
    PIRP irp = IoBuildDeviceIoControlRequest(kBufferedIoctl, device, nullptr, 0, output,
                                             sizeof(output), FALSE, &request.event, &request.iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER);
    EXPECT_NE(KeReadStateEvent(&request.event), 0);
    EXPECT_EQ(request.iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_STREQ(output, "keep");
    IoDeleteDevice(device);
    ExpectNothingOutstanding();
}

TEST_F(IoDeviceControl, InternalRequestCompletedLaterFromAnotherThread)
{
    ULONG requestBlock[4] = {1, 2, 3, 4};
    PIRP held = nullptr;
    PDEVICE_OBJECT device = driver_.CreateDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(location->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(location->Parameters.DeviceIoControl.IoControlCode, kInternalSubmit);
        EXPECT_EQ(location->Parameters.Others.Argument1, requestBlock);
        EXPECT_EQ(location->Parameters.DeviceIoControl.Type3InputBuffer, requestBlock);
        EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    });
    Request request;
    PIRP irp = IoBuildDeviceIoControlRequest(kInternalSubmit, device, requestBlock, 0, nullptr, 0,
                                             TRUE, &request.event, &request.iosb);
    ASSERT_NE(irp, nullptr);
    ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&request.event), 0);

    std::thread completer([&] {
        KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
        requestBlock[0] = 99;
        held->IoStatus.Status = STATUS_SUCCESS;
        held->IoStatus.Information = 16;
        IoCompleteRequest(held, IO_NO_INCREMENT);
        KfLowerIrql(old);
    });
    EXPECT_EQ(KeWaitForSingleObject(&request.event, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    completer.join();
    EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(request.iosb.Information, 16u);
    EXPECT_EQ(requestBlock[0], 99u);
    IoDeleteDevice(device);
    ExpectNothingOutstanding();
}

TEST_F(IoDeviceControl, CallerSetsTheArgumentItself)
{
    ULONG portStatus = 0xFFFFFFFF;
    PDEVICE_OBJECT device = driver_.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        auto status =
            static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        *status = 3;
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    Request request;
    PIRP irp = IoBuildDeviceIoControlRequest(
        CTL_CODE(FILE_DEVICE_USB, 4, METHOD_NEITHER, FILE_ANY_ACCESS), device, nullptr, 0, nullptr,
        0, TRUE, &request.event, &request.iosb);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &portStatus;
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(portStatus, 3u);
    EXPECT_EQ(request.iosb.Status, STATUS_SUCCESS);
    IoDeleteDevice(device);
    ExpectNothingOutstanding();
}

TEST_F(IoDeviceControl, DirectRequestDescribesTheOutputWithAnMdl)
{
    unsigned char output[3 * PAGE_SIZE] = {};
    PDEVICE_OBJECT device = driver_.CreateDevice([&](PDEVICE_OBJECT, PIRP irp) {
        PMDL mdl = irp->MdlAddress;
        EXPECT_NE(mdl, nullptr);
        if (mdl != nullptr) {
            EXPECT_EQ(MmGetMdlVirtualAddress(mdl), output + 10);
            EXPECT_EQ(MmGetMdlByteCount(mdl), 2u * PAGE_SIZE);
            auto mapped =
                static_cast<unsigned char*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
            EXPECT_NE(mapped, nullptr);
            if (mapped != nullptr) {
                mapped[0] = 0xAB;
                mapped[2 * PAGE_SIZE - 1] = 0xCD;
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 2 * PAGE_SIZE;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    Request request;
    PIRP irp = IoBuildDeviceIoControlRequest(kOutDirectIoctl, device, nullptr, 0, output + 10,
                                             2 * PAGE_SIZE, FALSE, &request.event, &request.iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(output[10], 0xAB);
    EXPECT_EQ(output[10 + 2 * PAGE_SIZE - 1], 0xCD);
    EXPECT_EQ(request.iosb.Information, 2u * PAGE_SIZE);
    IoDeleteDevice(device);
    ExpectNothingOutstanding();
}

TEST_F(IoDeviceControl, CallersRoutineCanHoldTheRequestBeforeItFinishes)
{
    PDEVICE_OBJECT device = driver_.CreateDevice([](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    Request request;
    CompletionProbe probe{"caller", nullptr, STATUS_MORE_PROCESSING_REQUIRED};
    PIRP irp = IoBuildDeviceIoControlRequest(kInternalSubmit, device, nullptr, 0, nullptr, 0, TRUE,
                                             &request.event, &request.iosb);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, RecordCompletion, &probe, TRUE, TRUE, TRUE);
    IoCallDriver(device, irp);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(KeReadStateEvent(&request.event), 0);  // held by the caller's routine

    irp->IoStatus.Status = STATUS_DEVICE_NOT_CONNECTED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_NE(KeReadStateEvent(&request.event), 0);
    EXPECT_EQ(request.iosb.Status, STATUS_DEVICE_NOT_CONNECTED);
    IoDeleteDevice(device);
    ExpectNothingOutstanding();
}

TEST_F(IoDeviceControl, BuildFailsCleanlyWhenThePoolFails)
{
    char buffer[32] = {};
    PDEVICE_OBJECT device = driver_.CreateDevice(nullptr);
    Request request;
    for (const char* tag : {"Irp ", "IoSB"}) {
        SCOPED_TRACE(tag);
        char text[5];
        std::memcpy(text, tag, 5);
        vf::FailAllocationsWithTag(vf::TagFromText(text));
        EXPECT_EQ(IoBuildDeviceIoControlRequest(kBufferedIoctl, device, buffer, sizeof(buffer),
                                                buffer, sizeof(buffer), FALSE, &request.event,
                                                &request.iosb),
                  nullptr);
        vf::ClearFaultInjection();
    }
    vf::FailAllocationsWithTag(vf::TagFromText("Mdl "));
    EXPECT_EQ(IoBuildDeviceIoControlRequest(kOutDirectIoctl, device, buffer, 4, buffer,
                                            sizeof(buffer), FALSE, &request.event, &request.iosb),
              nullptr);
    vf::ClearFaultInjection();
    EXPECT_EQ(KeReadStateEvent(&request.event), 0);
    IoDeleteDevice(device);
    ExpectNothingOutstanding();
}

}  // namespace
