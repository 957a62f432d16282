// Malformed and misdirected URBs fail at once, in the request's status and in the URB's.
#include "usbd_test_function.h"

namespace {

using usbdtest::PortTest;
using usbdtest::SubmitUrb;
using usbdtest::Transfer;

class UsbUrbValidation : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_EQ(Configure(4096), STATUS_SUCCESS);
    }
    std::uint8_t buffer[4096] = {};
};

TEST_F(UsbUrbValidation, UnknownFunctionAndWrongLengths)
{
    URB request{};
    request.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    request.UrbHeader.Function = 0x0016;  // reserved
    EXPECT_EQ(SubmitUrb(pdo, &request), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    request = URB{};
    request.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST) - 4;
    request.UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
    request.UrbPipeRequest.PipeHandle = CommandPipe();
    EXPECT_EQ(SubmitUrb(pdo, &request), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

    request = URB{};
    UsbBuildGetDescriptorRequest(&request, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) - 8,
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, nullptr, 18, nullptr);
    EXPECT_EQ(SubmitUrb(pdo, &request), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(request.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

    // A bulk URB four bytes short.
    URB bad{};
    UsbBuildInterruptOrBulkTransferRequest(&bad, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) - 4,
                                           CommandPipe(), buffer, nullptr, 64, 0, nullptr);
    EXPECT_EQ(SubmitUrb(pdo, &bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(function.Outs().empty());
}

TEST_F(UsbUrbValidation, UnknownPipeHandle)
{
    Transfer transfer;
    EXPECT_EQ(
        transfer.Start(pdo, reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 0, buffer, nullptr, 64),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transfer.Status(), STATUS_INVALID_PARAMETER);  // the completion routine saw it too
    EXPECT_EQ(transfer.UrbStatus(), USBD_STATUS_INVALID_PIPE_HANDLE);
    Transfer none;
    EXPECT_EQ(none.Start(pdo, nullptr, 0, buffer, nullptr, 64), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none.UrbStatus(), USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbUrbValidation, DirectionMustMatchTheEndpoint)
{
    Transfer inOnOut;
    EXPECT_EQ(inOnOut.Start(pdo, CommandPipe(), USBD_TRANSFER_DIRECTION_IN, buffer, nullptr, 64),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(inOnOut.UrbStatus(), USBD_STATUS_INVALID_PARAMETER);
    Transfer outOnIn;
    EXPECT_EQ(outOnIn.Start(pdo, ReplyPipe(), USBD_SHORT_TRANSFER_OK, buffer, nullptr, 64),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(outOnIn.UrbStatus(), USBD_STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(function.Outs().empty());
}

TEST_F(UsbUrbValidation, BufferAndLengthChecks)
{
    Transfer noBuffer;
    EXPECT_EQ(noBuffer.Start(pdo, CommandPipe(), 0, nullptr, nullptr, 64),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(noBuffer.UrbStatus(), USBD_STATUS_INVALID_PARAMETER);

    // Longer than the MaximumTransferSize asked for at select configuration (4096).
    std::vector<std::uint8_t> big(4097);
    Transfer tooLong;
    EXPECT_EQ(tooLong.Start(pdo, CommandPipe(), 0, big.data(), nullptr, 4097),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(tooLong.UrbStatus(), USBD_STATUS_INVALID_PARAMETER);

    // A zero-length OUT transfer without a buffer is fine.
    Transfer empty;
    ASSERT_EQ(empty.Start(pdo, CommandPipe(), 0, nullptr, nullptr, 0), STATUS_PENDING);
    ASSERT_TRUE(empty.Wait());
    EXPECT_EQ(empty.Status(), STATUS_SUCCESS);
    ASSERT_EQ(function.Outs().size(), 1u);
    EXPECT_TRUE(function.Outs()[0].data.empty());
}

TEST_F(UsbUrbValidation, TransfersOnAnUnconfiguredDeviceFail)
{
    USBD_PIPE_HANDLE reply = ReplyPipe();
    URB unconfigure{};
    UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    ASSERT_EQ(SubmitUrb(pdo, &unconfigure), STATUS_SUCCESS);
    Transfer transfer;
    EXPECT_EQ(transfer.Start(pdo, reply, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK,
                             buffer, nullptr, 64),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transfer.UrbStatus(), USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbUrbValidation, OtherInternalRequestsAreNotSupported)
{
    EXPECT_EQ(usbdtest::SendInternal(pdo, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr),
              STATUS_NOT_SUPPORTED);
    EXPECT_EQ(usbdtest::SendInternal(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr),
              STATUS_INVALID_PARAMETER);
}

}  // namespace
