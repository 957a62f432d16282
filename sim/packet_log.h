// Everything that crossed the camera's endpoints, in order: each command packet with its
// bytes (also the ones the camera refused), each reply, each frame with its size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "sim/packet.h"

namespace sim {

enum class LogKind {
    Command,       // a command packet the firmware processed
    Refused,       // an OUT transfer the command endpoint answered with a stall or an error
    Reply,         // a reply packet sent on the reply endpoint
    Frame,         // a frame message sent on the frame endpoint
    FrameDropped,  // a requested frame that was never sent
};

struct LogEntry {
    LogKind kind = LogKind::Command;
    std::uint8_t endpoint = 0;
    std::vector<std::uint8_t> bytes;  // packets only; frames keep just their size
    std::size_t size = 0;             // bytes of the packet or frame message
    std::uint32_t frame = 0;          // frame number (from 1) for frame entries
};

class PacketLog {
public:
    void Add(LogEntry entry);
    void Clear();

    std::vector<LogEntry> Entries() const;
    // The command packets the firmware processed, in order.
    std::vector<Packet> Commands() const;
    // Commands with one opcode.
    std::vector<Packet> Commands(std::uint8_t opcode) const;
    std::vector<LogEntry> Frames() const;
    std::size_t Count(LogKind kind) const;

private:
    mutable std::mutex mutex_;
    std::vector<LogEntry> entries_;
};

}  // namespace sim
