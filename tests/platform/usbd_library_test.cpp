// USBD library routines: walking a configuration descriptor and building the select-
// configuration request.
#include "usbd_test_function.h"

#include <ntoskrnl/host/verifier.h>

namespace {

using usbdtest::TestFunction;

class UsbLibrary : public testing::Test {
protected:
    PUSB_CONFIGURATION_DESCRIPTOR Configuration()
    {
        return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    }
    TestFunction function;
    std::vector<std::uint8_t> bytes = function.ConfigurationBytes();
};

TEST_F(UsbLibrary, ParseFindsInterfacesByNumberAlternateAndClass)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = Configuration();
    PUSB_INTERFACE_DESCRIPTOR first =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(first) - bytes.data(), 9);
    EXPECT_EQ(first->bNumEndpoints, 3);

    PUSB_INTERFACE_DESCRIPTOR alternate =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 1, -1, -1, -1);
    ASSERT_NE(alternate, nullptr);
    EXPECT_EQ(alternate->bAlternateSetting, 1);
    EXPECT_EQ(alternate->bNumEndpoints, 0);

    // By class alone: the first HID-class interface is interface 1, alternate 0.
    PUSB_INTERFACE_DESCRIPTOR byClass =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, 0x03, -1, -1);
    ASSERT_NE(byClass, nullptr);
    EXPECT_EQ(byClass->bInterfaceNumber, 1);
    EXPECT_EQ(byClass->bAlternateSetting, 0);

    // Searching on from just after a match finds the next one.
    PUSB_INTERFACE_DESCRIPTOR next = USBD_ParseConfigurationDescriptorEx(
        configuration, reinterpret_cast<PUCHAR>(byClass) + byClass->bLength, -1, -1, 0x03, -1, -1);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->bAlternateSetting, 1);
}

TEST_F(UsbLibrary, ParseReturnsNullWhenNothingMatches)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = Configuration();
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 2, 0, -1, -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, 0x0E, -1, -1),
              nullptr);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, 0x02, -1),
              nullptr);
    // wTotalLength bounds the walk: with the last interface cut off it is not found.
    Configuration()->wTotalLength = static_cast<USHORT>(bytes.size() - 9);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 1, -1, -1, -1),
              nullptr);
}

TEST_F(UsbLibrary, ParseDescriptorsFindsEndpointsAndStopsAtABrokenLength)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = Configuration();
    PUSB_COMMON_DESCRIPTOR endpoint = USBD_ParseDescriptors(
        configuration, configuration->wTotalLength, configuration, USB_ENDPOINT_DESCRIPTOR_TYPE);
    ASSERT_NE(endpoint, nullptr);
    EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(endpoint)->bEndpointAddress,
              usbdtest::kCommandOut);
    EXPECT_EQ(USBD_GetInterfaceLength(USBD_ParseConfigurationDescriptor(configuration, 1, 0),
                                      bytes.data() + bytes.size()),
              9u + 9u + 7u);

    bytes[18] = 0;  // the first endpoint descriptor claims length 0
    EXPECT_EQ(USBD_ParseDescriptors(configuration, configuration->wTotalLength, configuration,
                                    USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
}

TEST_F(UsbLibrary, CreateConfigurationRequestLaysOutOneBlockPerInterface)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = Configuration();
    USBD_INTERFACE_LIST_ENTRY list[3] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    list[1].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(urb, nullptr);

    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 4));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, configuration);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface),
              reinterpret_cast<PUCHAR>(list[0].Interface) + GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(3));
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    EXPECT_EQ(list[1].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 0);
    for (ULONG i = 0; i < 3; ++i) {
        EXPECT_EQ(list[0].Interface->Pipes[i].MaximumTransferSize,
                  static_cast<ULONG>(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE));
        EXPECT_EQ(list[0].Interface->Pipes[i].PipeHandle, nullptr);
    }
    ExFreePool(urb);
}

TEST_F(UsbLibrary, CreateConfigurationRequestFailsWhenThePoolIsExhausted)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = Configuration();
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, 0, 0, -1, -1, -1);
    vf::FailAllocationsWithTag(vf::TagFromText("USBD"));
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(configuration, list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
    vf::ClearFaultInjection();
}

}  // namespace
