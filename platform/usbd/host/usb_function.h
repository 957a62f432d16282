// The host-controller side of a USB port: what a USB function (a device plugged into a hub
// port) offers to the host stack, and how it hands data back. The host stack owns the request
// queues; the function sees control requests, OUT data and the endpoints' IN data streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace usbd {

// Result of a request as the function reports it.
enum class EndpointResult {
    Ok,       // accepted / data available
    Stall,    // the endpoint answered STALL; it stays halted until the host clears it
    Error,    // a transfer error on the bus (CRC, timeout); the request fails, no halt
};

class UsbPort;

// One message on an IN endpoint: `length` bytes, taken from `bytes` and zero past its end (the
// filler a device sends after its data). The bytes are shared and must not change once sent,
// so a function can send the same buffer again and again without copying it.
struct InMessage {
    std::shared_ptr<const std::vector<std::uint8_t>> bytes;
    std::size_t length = 0;

    static InMessage Of(std::vector<std::uint8_t> data)
    {
        std::size_t size = data.size();
        return {std::make_shared<const std::vector<std::uint8_t>>(std::move(data)), size};
    }
};

// A USB function. Every call comes from the host stack; a function must not call back into
// the host stack while inside one of these calls except through its UsbPort.
class UsbFunction {
public:
    virtual ~UsbFunction() = default;

    // Standard descriptors, as their bytes: the 18-byte device descriptor and the whole
    // configuration descriptor (configuration, interfaces, endpoints) of configuration index.
    virtual std::vector<std::uint8_t> DeviceDescriptor() const = 0;
    virtual std::vector<std::uint8_t> ConfigurationDescriptor(std::uint8_t index) const = 0;

    // SET_CONFIGURATION; 0 unconfigures. Returns false to refuse.
    virtual bool SetConfiguration(std::uint8_t configurationValue) = 0;

    // Data of a bulk or interrupt OUT transfer on `endpointAddress` (bit 7 clear).
    virtual EndpointResult OutTransfer(std::uint8_t endpointAddress,
                                       const std::uint8_t* data, std::size_t length) = 0;

    // The host cleared a halt on the endpoint (sync reset pipe / clear stall).
    virtual void ClearHalt(std::uint8_t endpointAddress) = 0;

    // The host reset the port (IOCTL_INTERNAL_USB_RESET_PORT): back to the default,
    // unconfigured state.
    virtual void PortReset() = 0;

    // Plugged into / unplugged from a port. The port outlives every call made through it.
    virtual void Attached(UsbPort* port) = 0;
    virtual void Detached() = 0;
};

// The port a function is attached to: how the function puts data on its IN endpoints.
class UsbPort {
public:
    virtual ~UsbPort() = default;

    // Appends one message to an IN endpoint's stream (bit 7 set). A message is what the
    // function sends before a short packet: pending IN transfers are filled from it in order;
    // a transfer completes when its buffer is full or the message ends (a short transfer,
    // which needs USBD_SHORT_TRANSFER_OK). An empty message is a zero-length packet.
    virtual void SendIn(std::uint8_t endpointAddress, InMessage message) = 0;
    void SendIn(std::uint8_t endpointAddress, std::vector<std::uint8_t> message)
    {
        SendIn(endpointAddress, InMessage::Of(std::move(message)));
    }

    // Makes the endpoint answer the next IN transfer with STALL or a bus error.
    virtual void FailNextIn(std::uint8_t endpointAddress, EndpointResult result) = 0;

    // Drops everything queued for the IN endpoint (messages not yet read).
    virtual void FlushIn(std::uint8_t endpointAddress) = 0;
};

}  // namespace usbd
