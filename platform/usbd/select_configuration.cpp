// Select configuration: the client names a configuration descriptor and, for each of its
// interfaces, an interface information block sized for its endpoints. The port sets the
// configuration on the function and fills in the blocks: the interface's class codes and
// handle, and one pipe per endpoint with a new handle. MaximumTransferSize and PipeFlags stay as
// the client asked. A null descriptor unconfigures the device; every pipe handle becomes invalid.
#include "port.h"

#include <usbdlib.h>

namespace usbd {

namespace {

// The endpoint descriptors that follow an interface descriptor, up to the next interface.
std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                  PUSB_INTERFACE_DESCRIPTOR interface)
{
    std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
    auto* position = reinterpret_cast<PUCHAR>(interface) + interface->bLength;
    PUCHAR end = reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + common->bLength > end ||
            common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE &&
            common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            endpoints.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(common));
        }
        position += common->bLength;
    }
    return endpoints;
}

}  // namespace

NTSTATUS Port::SelectConfiguration(PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface)) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    PUSB_CONFIGURATION_DESCRIPTOR configuration =
        urb->UrbSelectConfiguration.ConfigurationDescriptor;
    if (configuration == nullptr) {
        return Unconfigure(irp, urb);
    }
    if (configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->wTotalLength < configuration->bLength) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
    }

    // The configuration must be one the device has.
    std::vector<std::uint8_t> deviceBytes = function_.DeviceDescriptor();
    UCHAR configurations = deviceBytes.size() >= sizeof(USB_DEVICE_DESCRIPTOR)
                               ? deviceBytes[offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations)]
                               : 0;
    bool known = false;
    for (UCHAR index = 0; index < configurations && !known; ++index) {
        std::vector<std::uint8_t> bytes = function_.ConfigurationDescriptor(index);
        known = bytes.size() >= sizeof(USB_CONFIGURATION_DESCRIPTOR) &&
                bytes[offsetof(USB_CONFIGURATION_DESCRIPTOR, bConfigurationValue)] ==
                    configuration->bConfigurationValue;
    }
    if (!known) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
    }

    // Every interface of the configuration has its block in the URB, each inside the URB's
    // Length and large enough for the interface's pipes.
    std::vector<InterfaceSelection> selections;
    auto* position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
    for (UCHAR i = 0; i < configuration->bNumInterfaces; ++i) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        if (position + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > end) {
            return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        InterfaceSelection selection;
        selection.information = information;
        selection.descriptor = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, information->InterfaceNumber,
            information->AlternateSetting, -1, -1, -1);
        if (selection.descriptor == nullptr) {
            return CompleteUrbRequest(irp, urb, USBD_STATUS_INTERFACE_NOT_FOUND);
        }
        selection.endpoints = EndpointsOf(configuration, selection.descriptor);
        SIZE_T needed = GET_USBD_INTERFACE_SIZE(selection.endpoints.size());
        if (information->Length < needed || position + needed > end) {
            return CompleteUrbRequest(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        position += information->Length;
        selections.push_back(std::move(selection));
    }

    // The old configuration ends with its transfers.
    std::vector<FinishedTransfer> finished;
    {
        SpinLockGuard guard(lock_);
        RetirePipes(finished);
    }
    Finish(finished);
    if (!function_.SetConfiguration(configuration->bConfigurationValue)) {
        return CompleteUrbRequest(irp, urb, USBD_STATUS_SET_CONFIG_FAILED);
    }

    {
        SpinLockGuard guard(lock_);
        configurationValue_ = configuration->bConfigurationValue;
        configurationHandle_ = NewHandle();
        for (InterfaceSelection& selection : selections) {
            AddPipes(selection);
        }
        urb->UrbSelectConfiguration.ConfigurationHandle = configurationHandle_;
    }
    return CompleteUrbRequest(irp, urb, USBD_STATUS_SUCCESS);
}

void Port::AddPipes(InterfaceSelection& selection)
{
    PUSBD_INTERFACE_INFORMATION information = selection.information;
    information->Class = selection.descriptor->bInterfaceClass;
    information->SubClass = selection.descriptor->bInterfaceSubClass;
    information->Protocol = selection.descriptor->bInterfaceProtocol;
    information->InterfaceHandle = NewHandle();
    information->NumberOfPipes = static_cast<ULONG>(selection.endpoints.size());
    for (std::size_t p = 0; p < selection.endpoints.size(); ++p) {
        PUSB_ENDPOINT_DESCRIPTOR endpoint = selection.endpoints[p];
        USBD_PIPE_INFORMATION& info = information->Pipes[p];
        auto pipe = std::make_unique<Pipe>();
        pipe->handle = NewHandle();
        pipe->endpointAddress = endpoint->bEndpointAddress;
        pipe->type = static_cast<USBD_PIPE_TYPE>(endpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK);
        pipe->maximumTransferSize = info.MaximumTransferSize;
        info.MaximumPacketSize = endpoint->wMaxPacketSize;
        info.EndpointAddress = endpoint->bEndpointAddress;
        info.Interval = endpoint->bInterval;
        info.PipeType = pipe->type;
        info.PipeHandle = pipe->handle;
        pipes_.push_back(std::move(pipe));
    }
}

NTSTATUS Port::Unconfigure(PIRP irp, PURB urb)
{
    std::vector<FinishedTransfer> finished;
    {
        SpinLockGuard guard(lock_);
        RetirePipes(finished);
    }
    Finish(finished);
    function_.SetConfiguration(0);
    urb->UrbSelectConfiguration.ConfigurationHandle = nullptr;
    return CompleteUrbRequest(irp, urb, USBD_STATUS_SUCCESS);
}

}  // namespace usbd
