// The bridge's 64-byte command and reply packets and the opcodes the firmware understands.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

constexpr std::size_t kPacketSize = 64;
using Packet = std::array<std::uint8_t, kPacketSize>;

namespace opcode {
constexpr std::uint8_t kFrameRequest = 0x02;  // frame request, and the frame begin bracket
constexpr std::uint8_t kFrameEnd = 0x03;      // frame end bracket
constexpr std::uint8_t kWriteSensor = 0x04;   // [1] register, [2] value high, [3] value low
constexpr std::uint8_t kDeviceInit = 0x06;
constexpr std::uint8_t kStreamPrepare = 0x0A;  // [1] 0x01
constexpr std::uint8_t kReadSensor = 0x0C;     // [1] register; two replies, value in the second
constexpr std::uint8_t kWriteBridge = 0x25;    // [1] register, [2] value
constexpr std::uint8_t kReadBridge = 0x26;     // [1] register; two replies, value in the second
constexpr std::uint8_t kWriteData = 0x40;      // data store block, payload in [1..63]
constexpr std::uint8_t kReadData = 0x41;       // data store read; two replies
}  // namespace opcode

}  // namespace sim
