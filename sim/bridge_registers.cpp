#include "sim/bridge_registers.h"

namespace sim {

void BridgeRegisters::PowerOn()
{
    regs_.fill(0);
    regs_[bridge_reg::kTransferSize0] = static_cast<std::uint8_t>(kPowerOnTransferSize);
    regs_[bridge_reg::kTransferSize1] = static_cast<std::uint8_t>(kPowerOnTransferSize >> 8);
    regs_[bridge_reg::kTransferSize2] = static_cast<std::uint8_t>(kPowerOnTransferSize >> 16);
    regs_[bridge_reg::kTransferSize3] = static_cast<std::uint8_t>(kPowerOnTransferSize >> 24);
}

std::uint32_t BridgeRegisters::TransferSize() const
{
    return static_cast<std::uint32_t>(regs_[bridge_reg::kTransferSize0]) |
           static_cast<std::uint32_t>(regs_[bridge_reg::kTransferSize1]) << 8 |
           static_cast<std::uint32_t>(regs_[bridge_reg::kTransferSize2]) << 16 |
           static_cast<std::uint32_t>(regs_[bridge_reg::kTransferSize3]) << 24;
}

}  // namespace sim
