// The bridge firmware: decodes each 64-byte command packet, reads and writes the bridge's and
// the sensor's registers and the data store, prepares the replies of reads and follows the
// frame sequence (request 0x02, begin bracket 0x02, end bracket 0x03).
//
// Frame sequence: from Idle a 0x02 requests a frame (the bridge starts sending it) and moves to
// Requested; a 0x02 there is the begin bracket (Open); a 0x03 from either returns to Idle. A
// 0x02 while Open means the end bracket was lost, and is taken as the next request.
//
// A read is answered by two replies: the first acknowledges the command (it echoes the first
// eight bytes of the command), the second carries the value. Unknown opcodes are ignored.
#pragma once

#include <cstdint>

#include "sim/bridge_registers.h"
#include "sim/data_store.h"
#include "sim/packet.h"
#include "sim/sensor_registers.h"

namespace sim {

enum class FrameState { Idle, Requested, Open };

struct CommandOutcome {
    bool known = true;            // the opcode is one the firmware implements
    bool replies = false;         // two replies are due
    Packet firstReply{};
    Packet secondReply{};
    bool frameRequested = false;  // a frame is to be produced
    bool restartStream = false;   // device initialisation or stream preparation
    bool sensorWritten = false;   // a sensor register changed
};

class Firmware {
public:
    explicit Firmware(std::uint16_t chipVersion) : sensor_(chipVersion) {}

    CommandOutcome Handle(const Packet& packet);

    // Power-on state of the bridge and the sensor; the data store keeps its contents.
    void Reset();

    BridgeRegisters& Bridge() { return bridge_; }
    const BridgeRegisters& Bridge() const { return bridge_; }
    SensorRegisters& Sensor() { return sensor_; }
    const SensorRegisters& Sensor() const { return sensor_; }
    DataStore& Store() { return store_; }
    const DataStore& Store() const { return store_; }
    FrameState State() const { return state_; }

private:
    void PrepareReplies(const Packet& command, CommandOutcome& outcome) const;
    void FrameCommand(std::uint8_t opcode, CommandOutcome& outcome);

    BridgeRegisters bridge_;
    SensorRegisters sensor_;
    DataStore store_;
    FrameState state_ = FrameState::Idle;
};

}  // namespace sim
