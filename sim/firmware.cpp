#include "sim/firmware.h"

#include <algorithm>

namespace sim {

void Firmware::Reset()
{
    bridge_.PowerOn();
    sensor_.PowerOn();
    state_ = FrameState::Idle;
}

void Firmware::PrepareReplies(const Packet& command, CommandOutcome& outcome) const
{
    outcome.replies = true;
    std::copy_n(command.begin(), 8, outcome.firstReply.begin());
}

void Firmware::FrameCommand(std::uint8_t opcode, CommandOutcome& outcome)
{
    if (opcode == opcode::kFrameEnd) {
        state_ = FrameState::Idle;
        return;
    }
    if (state_ == FrameState::Requested) {
        state_ = FrameState::Open;
        return;
    }
    state_ = FrameState::Requested;
    outcome.frameRequested = true;
}

CommandOutcome Firmware::Handle(const Packet& packet)
{
    CommandOutcome outcome;
    switch (packet[0]) {
    case opcode::kFrameRequest:
    case opcode::kFrameEnd: FrameCommand(packet[0], outcome); break;
    case opcode::kWriteSensor:
        sensor_.Write(packet[1], static_cast<std::uint16_t>(packet[2] << 8 | packet[3]));
        outcome.sensorWritten = true;
        break;
    case opcode::kDeviceInit:
        state_ = FrameState::Idle;
        outcome.restartStream = true;
        break;
    case opcode::kStreamPrepare:
        if (packet[1] == 0x01) {
            state_ = FrameState::Idle;
            outcome.restartStream = true;
        }
        break;
    case opcode::kReadSensor: {
        PrepareReplies(packet, outcome);
        std::uint16_t value = sensor_.Read(packet[1]);
        outcome.secondReply[0] = static_cast<std::uint8_t>(value >> 8);
        outcome.secondReply[1] = static_cast<std::uint8_t>(value & 0xFF);
        break;
    }
    case opcode::kWriteBridge: bridge_.Write(packet[1], packet[2]); break;
    case opcode::kReadBridge:
        PrepareReplies(packet, outcome);
        outcome.secondReply[0] = bridge_.Read(packet[1]);
        break;
    case opcode::kWriteData: store_.WriteBlock(packet); break;
    case opcode::kReadData:
        PrepareReplies(packet, outcome);
        outcome.secondReply = store_.ReadReply(packet);
        break;
    default: outcome.known = false; break;
    }
    return outcome;
}

}  // namespace sim
