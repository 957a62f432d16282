// The USB driver interface: URBs, descriptors and the hub port's internal requests.
#pragma once

#include "usb.h"
#include "usbioctl.h"

// What a pipe moves in one transfer unless the client asks for less at select-configuration: on
// the XP-era target the port driver splits transfers itself, so the default sets no limit.
#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0xFFFFFFFF

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;
