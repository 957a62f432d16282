// The bus view of one hub port: every bulk or interrupt transfer as the host controller
// finished it, with the bytes of OUT transfers.
#pragma once

#include <usb.h>

#include <cstdint>
#include <vector>

namespace usbd {

struct PacketRecord {
    std::uint8_t endpointAddress = 0;  // bit 7 set: IN
    bool in = false;
    ULONG requested = 0;  // TransferBufferLength as submitted
    ULONG moved = 0;      // bytes moved (TransferBufferLength on completion)
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    NTSTATUS irpStatus = STATUS_SUCCESS;
    std::vector<std::uint8_t> data;  // OUT: the bytes the function was given
};

}  // namespace usbd
