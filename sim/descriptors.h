// The camera's standard USB descriptors: a high-speed vendor-class device with one
// configuration, one interface and three bulk endpoints (commands, replies, frames).
#pragma once

#include <cstdint>
#include <vector>

namespace sim {

// Test vendor id and the product id this simulated camera answers with.
constexpr std::uint16_t kVendorId = 0xF055;
constexpr std::uint16_t kProductId = 0x7A31;
constexpr std::uint16_t kDeviceRelease = 0x0100;

constexpr std::uint8_t kConfigurationValue = 1;

// Endpoint addresses in the order the interface lists them.
constexpr std::uint8_t kCommandEndpoint = 0x01;  // bulk OUT: 64-byte command packets
constexpr std::uint8_t kReplyEndpoint = 0x82;    // bulk IN: 64-byte reply packets
constexpr std::uint8_t kFrameEndpoint = 0x83;    // bulk IN: raw frames

constexpr std::uint16_t kBulkMaxPacketSize = 512;

constexpr std::size_t kDeviceDescriptorLength = 18;
constexpr std::size_t kConfigurationDescriptorLength = 9 + 9 + 3 * 7;

std::vector<std::uint8_t> BuildDeviceDescriptor(std::uint16_t vendorId, std::uint16_t productId);
std::vector<std::uint8_t> BuildConfigurationDescriptor();

}  // namespace sim
