// USBD_CreateConfigurationRequestEx: a select-configuration URB with one interface information
// block per listed interface, each sized for the interface's endpoints.
#include "pool_tags.h"

#include <usbdlib.h>

extern "C" PURB NTAPI USBD_CreateConfigurationRequestEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (InterfaceList == nullptr) {
        return nullptr;
    }
    // The URB is the select-configuration header followed by the interface blocks back to back.
    SIZE_T size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG interfaces = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY entry = InterfaceList; entry->InterfaceDescriptor != nullptr;
         ++entry) {
        size += GET_USBD_INTERFACE_SIZE(entry->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
    }
    if (size < sizeof(struct _URB_SELECT_CONFIGURATION)) {
        size = sizeof(struct _URB_SELECT_CONFIGURATION);
    }
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, usbd::kUsbdTag));
    if (urb == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(urb, size);

    auto* position = reinterpret_cast<PUCHAR>(&urb->UrbSelectConfiguration.Interface);
    for (ULONG i = 0; i < interfaces; ++i) {
        PUSBD_INTERFACE_LIST_ENTRY entry = &InterfaceList[i];
        PUSB_INTERFACE_DESCRIPTOR descriptor = entry->InterfaceDescriptor;
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(position);
        information->Length =
            static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(descriptor->bNumEndpoints));
        information->InterfaceNumber = descriptor->bInterfaceNumber;
        information->AlternateSetting = descriptor->bAlternateSetting;
        information->NumberOfPipes = descriptor->bNumEndpoints;
        for (ULONG pipe = 0; pipe < descriptor->bNumEndpoints; ++pipe) {
            information->Pipes[pipe].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            information->Pipes[pipe].PipeFlags = 0;
        }
        entry->Interface = information;
        position += information->Length;
    }
    UsbBuildSelectConfigurationRequest(urb, static_cast<USHORT>(size), ConfigurationDescriptor);
    return urb;
}
