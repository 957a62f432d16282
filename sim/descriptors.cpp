// Standard descriptor bytes, little-endian as they travel on the bus.
#include "sim/descriptors.h"

namespace sim {

namespace {

void PutWord(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutBulkEndpoint(std::vector<std::uint8_t>& out, std::uint8_t address)
{
    out.push_back(7);        // bLength
    out.push_back(0x05);     // bDescriptorType: endpoint
    out.push_back(address);  // bEndpointAddress
    out.push_back(0x02);     // bmAttributes: bulk
    PutWord(out, kBulkMaxPacketSize);
    out.push_back(0);  // bInterval: unused for bulk IN, no NAK limit for OUT
}

}  // namespace

std::vector<std::uint8_t> BuildDeviceDescriptor(std::uint16_t vendorId, std::uint16_t productId)
{
    std::vector<std::uint8_t> out;
    out.reserve(kDeviceDescriptorLength);
    out.push_back(static_cast<std::uint8_t>(kDeviceDescriptorLength));
    out.push_back(0x01);  // bDescriptorType: device
    PutWord(out, 0x0200);  // bcdUSB 2.0
    out.push_back(0x00);   // bDeviceClass: defined per interface
    out.push_back(0x00);   // bDeviceSubClass
    out.push_back(0x00);   // bDeviceProtocol
    out.push_back(64);     // bMaxPacketSize0
    PutWord(out, vendorId);
    PutWord(out, productId);
    PutWord(out, kDeviceRelease);
    out.push_back(0);  // iManufacturer: no strings
    out.push_back(0);  // iProduct
    out.push_back(0);  // iSerialNumber
    out.push_back(1);  // bNumConfigurations
    return out;
}

std::vector<std::uint8_t> BuildConfigurationDescriptor()
{
    std::vector<std::uint8_t> out;
    out.reserve(kConfigurationDescriptorLength);
    out.push_back(9);     // bLength
    out.push_back(0x02);  // bDescriptorType: configuration
    PutWord(out, static_cast<std::uint16_t>(kConfigurationDescriptorLength));
    out.push_back(1);  // bNumInterfaces
    out.push_back(kConfigurationValue);
    out.push_back(0);     // iConfiguration
    out.push_back(0x80);  // bmAttributes: bus powered
    out.push_back(250);   // bMaxPower: 500 mA in 2 mA units

    out.push_back(9);     // bLength
    out.push_back(0x04);  // bDescriptorType: interface
    out.push_back(0);     // bInterfaceNumber
    out.push_back(0);     // bAlternateSetting
    out.push_back(3);     // bNumEndpoints
    out.push_back(0xFF);  // bInterfaceClass: vendor specific
    out.push_back(0x00);  // bInterfaceSubClass
    out.push_back(0x00);  // bInterfaceProtocol
    out.push_back(0);     // iInterface

    PutBulkEndpoint(out, kCommandEndpoint);
    PutBulkEndpoint(out, kReplyEndpoint);
    PutBulkEndpoint(out, kFrameEndpoint);
    return out;
}

}  // namespace sim
