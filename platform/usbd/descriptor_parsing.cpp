// Walking a configuration descriptor: the descriptors it holds one after another, each starting
// with its length and type.
#include <usbdlib.h>

extern "C" PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer,
                                                              ULONG TotalLength,
                                                              PVOID StartPosition,
                                                              LONG DescriptorType)
{
    auto* position = static_cast<PUCHAR>(StartPosition);
    PUCHAR end = static_cast<PUCHAR>(DescriptorBuffer) + TotalLength;
    // A descriptor counts only when its header and its whole length lie inside the buffer; a
    // zero length would never advance, so it ends the walk.
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || position + common->bLength > end) {
            return nullptr;
        }
        if (common->bDescriptorType == DescriptorType) {
            return common;
        }
        position += common->bLength;
    }
    return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    PVOID position = StartPosition;
    for (;;) {
        PUSB_COMMON_DESCRIPTOR found =
            USBD_ParseDescriptors(ConfigurationDescriptor, ConfigurationDescriptor->wTotalLength,
                                  position, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (found == nullptr) {
            return nullptr;
        }
        auto* interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(found);
        if (found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            (InterfaceNumber == -1 || interface->bInterfaceNumber == InterfaceNumber) &&
            (AlternateSetting == -1 || interface->bAlternateSetting == AlternateSetting) &&
            (InterfaceClass == -1 || interface->bInterfaceClass == InterfaceClass) &&
            (InterfaceSubClass == -1 || interface->bInterfaceSubClass == InterfaceSubClass) &&
            (InterfaceProtocol == -1 || interface->bInterfaceProtocol == InterfaceProtocol)) {
            return interface;
        }
        position = reinterpret_cast<PUCHAR>(found) + found->bLength;
    }
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI
USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  UCHAR InterfaceNumber, UCHAR AlternateSetting)
{
    return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor,
                                               InterfaceNumber, AlternateSetting, -1, -1, -1);
}

extern "C" ULONG NTAPI USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                               PUCHAR BufferEnd)
{
    auto* position = reinterpret_cast<PUCHAR>(InterfaceDescriptor);
    ULONG length = 0;
    bool first = true;
    while (position + sizeof(USB_COMMON_DESCRIPTOR) <= BufferEnd) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) ||
            (!first && common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE)) {
            break;
        }
        first = false;
        length += common->bLength;
        position += common->bLength;
    }
    return length;
}

extern "C" void NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation)
{
    if (VersionInformation != nullptr) {
        VersionInformation->USBDI_Version = 0x00000500;
        VersionInformation->Supported_USB_Version = 0x0200;
    }
}
