// Descriptor reads and select configuration at a hub port.
#include "usbd_test_function.h"

namespace {

using usbdtest::PortTest;
using usbdtest::SubmitUrb;

class UsbConfiguration : public PortTest {
protected:
    NTSTATUS ReadDescriptor(UCHAR type, UCHAR index, std::vector<std::uint8_t>& buffer,
                            URB& request)
    {
        request = URB{};
        UsbBuildGetDescriptorRequest(&request, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, index,
                                     0, buffer.data(), nullptr, static_cast<ULONG>(buffer.size()),
                                     nullptr);
        return SubmitUrb(pdo, &request);
    }
};

TEST_F(UsbConfiguration, DeviceAndConfigurationDescriptorsReadWhole)
{
    URB request{};
    std::vector<std::uint8_t> device(sizeof(USB_DEVICE_DESCRIPTOR) + 4, 0xCC);
    ASSERT_EQ(ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, device, request), STATUS_SUCCESS);
    EXPECT_EQ(request.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(request.UrbControlDescriptorRequest.TransferBufferLength, 18u);
    auto* descriptor = reinterpret_cast<PUSB_DEVICE_DESCRIPTOR>(device.data());
    EXPECT_EQ(descriptor->idVendor, 0x1D6B);
    EXPECT_EQ(descriptor->idProduct, 0x7357);
    EXPECT_EQ(device[18], 0xCC);  // nothing written past the descriptor

    std::vector<std::uint8_t> configuration(function.ConfigurationBytes().size());
    ASSERT_EQ(ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, configuration, request),
              STATUS_SUCCESS);
    EXPECT_EQ(configuration, function.ConfigurationBytes());
}

TEST_F(UsbConfiguration, ShortBufferGetsTheFirstBytes)
{
    URB request{};
    std::vector<std::uint8_t> head(9, 0);
    ASSERT_EQ(ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, head, request), STATUS_SUCCESS);
    EXPECT_EQ(request.UrbControlDescriptorRequest.TransferBufferLength, 9u);
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(head.data());
    EXPECT_EQ(descriptor->wTotalLength, function.ConfigurationBytes().size());
    EXPECT_EQ(descriptor->bNumInterfaces, 2);
}

TEST_F(UsbConfiguration, MissingDescriptorStalls)
{
    URB request{};
    std::vector<std::uint8_t> buffer(64);
    EXPECT_EQ(ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, buffer, request),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(request.UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, 1, buffer, request), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(request.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(UsbConfiguration, SelectConfigurationFillsInInterfacesAndPipes)
{
    ASSERT_EQ(Configure(0x12345), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_NE(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);
    EXPECT_EQ(function.Configurations(), std::vector<std::uint8_t>{1});

    EXPECT_EQ(first->Class, 0xFF);
    EXPECT_EQ(first->SubClass, 0x01);
    EXPECT_EQ(first->Protocol, 0x02);
    EXPECT_NE(first->InterfaceHandle, nullptr);
    ASSERT_EQ(first->NumberOfPipes, 3u);
    const UCHAR addresses[] = {usbdtest::kCommandOut, usbdtest::kReplyIn, usbdtest::kFrameIn};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(first->Pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(first->Pipes[i].PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(first->Pipes[i].MaximumPacketSize, 512);
        EXPECT_EQ(first->Pipes[i].MaximumTransferSize, 0x12345u);  // as asked
        EXPECT_NE(first->Pipes[i].PipeHandle, nullptr);
    }
    EXPECT_NE(Pipe(0), Pipe(1));
    EXPECT_NE(Pipe(1), Pipe(2));
    EXPECT_NE(Pipe(0), Pipe(2));

    EXPECT_EQ(second->Class, 0x03);
    EXPECT_NE(second->InterfaceHandle, first->InterfaceHandle);
    ASSERT_EQ(second->NumberOfPipes, 1u);
    EXPECT_EQ(second->Pipes[0].EndpointAddress, usbdtest::kEventIn);
    EXPECT_EQ(second->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(second->Pipes[0].MaximumPacketSize, 8);
    EXPECT_EQ(second->Pipes[0].Interval, 10);
    EXPECT_EQ(second->Pipes[0].MaximumTransferSize,
              static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
}

TEST_F(UsbConfiguration, NullConfigurationInvalidatesEveryPipe)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    USBD_PIPE_HANDLE command = CommandPipe();

    URB unconfigure{};
    UsbBuildSelectConfigurationRequest(&unconfigure, sizeof(_URB_SELECT_CONFIGURATION), nullptr);
    ASSERT_EQ(SubmitUrb(pdo, &unconfigure), STATUS_SUCCESS);
    EXPECT_EQ(unconfigure.UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(function.Configurations(), (std::vector<std::uint8_t>{1, 0}));

    std::uint8_t packet[64] = {};
    usbdtest::Transfer transfer;
    EXPECT_EQ(transfer.Start(pdo, command, 0, packet, nullptr, sizeof(packet)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(transfer.UrbStatus(), USBD_STATUS_INVALID_PIPE_HANDLE);
    USBD_STATUS urbStatus = 0;
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, command, &urbStatus), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urbStatus, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UsbConfiguration, SelectingAgainGivesNewHandles)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    USBD_PIPE_HANDLE old = FramePipe();
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_NE(FramePipe(), old);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, old),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, FramePipe()),
              STATUS_SUCCESS);
}

TEST_F(UsbConfiguration, UnknownOrRefusedConfigurationFails)
{
    ConfigurationDescriptor();
    configurationBytes[5] = 7;  // a configuration value the device does not have
    auto* configuration =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configurationBytes.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 0, -1, -1, -1);
    urb = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(SubmitUrb(pdo, urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
    EXPECT_TRUE(function.Configurations().empty());

    function.RefuseConfiguration();
    EXPECT_EQ(Configure(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SET_CONFIG_FAILED);
}

TEST_F(UsbConfiguration, RequestMissingAnInterfaceBlockIsRejected)
{
    auto* configuration = ConfigurationDescriptor();
    USBD_INTERFACE_LIST_ENTRY list[2] = {};  // only interface 0 of two
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    urb = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(SubmitUrb(pdo, urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(list[0].Interface->Pipes[0].PipeHandle, nullptr);
}

}  // namespace
