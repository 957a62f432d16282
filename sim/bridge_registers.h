// The bridge's 8-bit register file: frame transfer size, trigger gate, frame counter and
// sensor clock selection. Registers without a role store what is written.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

namespace bridge_reg {
constexpr std::uint8_t kTransferSize0 = 0x00;  // transfer size bits 7..0
constexpr std::uint8_t kTransferSize1 = 0x01;  // bits 15..8
constexpr std::uint8_t kTransferSize2 = 0x02;  // bits 23..16
constexpr std::uint8_t kTransferSize3 = 0x03;  // bits 31..24
constexpr std::uint8_t kTrigger = 0x0B;        // bit 0: forward the external trigger input
constexpr std::uint8_t kFrameCounter = 0x0E;   // frames sent, low 8 bits; writable
constexpr std::uint8_t kClock = 0x0F;          // sensor clock selection 0..5
}  // namespace bridge_reg

// Transfer size after power-on: a full 752 x 480 frame rounded up to 2048 bytes.
constexpr std::uint32_t kPowerOnTransferSize = 0x00058800;

class BridgeRegisters {
public:
    BridgeRegisters() { PowerOn(); }

    void PowerOn();

    std::uint8_t Read(std::uint8_t reg) const { return regs_[reg]; }
    void Write(std::uint8_t reg, std::uint8_t value) { regs_[reg] = value; }

    // Bytes of one frame on the frame endpoint, from registers 0x00..0x03.
    std::uint32_t TransferSize() const;
    bool TriggerForwarded() const { return (regs_[bridge_reg::kTrigger] & 0x01) != 0; }
    std::uint8_t ClockSelection() const { return regs_[bridge_reg::kClock]; }
    void CountFrame() { ++regs_[bridge_reg::kFrameCounter]; }

private:
    std::array<std::uint8_t, 256> regs_{};
};

}  // namespace sim
