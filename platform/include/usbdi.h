// The USB driver interface: URBs, descriptors and the hub port's internal requests.
#pragma once

#include "usb.h"
#include "usbioctl.h"

// What a pipe moves in one transfer unless the client asks for more at select-configuration.
#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE PAGE_SIZE

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;
