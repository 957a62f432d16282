#include "sim/packet_log.h"

#include <algorithm>

namespace sim {

void PacketLog::Add(LogEntry entry)
{
    std::lock_guard lock(mutex_);
    entries_.push_back(std::move(entry));
}

void PacketLog::Clear()
{
    std::lock_guard lock(mutex_);
    entries_.clear();
}

std::vector<LogEntry> PacketLog::Entries() const
{
    std::lock_guard lock(mutex_);
    return entries_;
}

std::vector<Packet> PacketLog::Commands() const
{
    std::lock_guard lock(mutex_);
    std::vector<Packet> commands;
    for (const LogEntry& entry : entries_) {
        if (entry.kind == LogKind::Command) {
            Packet packet{};
            std::copy_n(entry.bytes.begin(), std::min(entry.bytes.size(), packet.size()),
                        packet.begin());
            commands.push_back(packet);
        }
    }
    return commands;
}

std::vector<Packet> PacketLog::Commands(std::uint8_t opcode) const
{
    std::vector<Packet> commands = Commands();
    std::erase_if(commands, [opcode](const Packet& packet) { return packet[0] != opcode; });
    return commands;
}

std::vector<LogEntry> PacketLog::Frames() const
{
    std::lock_guard lock(mutex_);
    std::vector<LogEntry> frames;
    std::copy_if(entries_.begin(), entries_.end(), std::back_inserter(frames),
                 [](const LogEntry& entry) {
                     return entry.kind == LogKind::Frame || entry.kind == LogKind::FrameDropped;
                 });
    return frames;
}

std::size_t PacketLog::Count(LogKind kind) const
{
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        entries_.begin(), entries_.end(), [kind](const LogEntry& e) { return e.kind == kind; }));
}

}  // namespace sim
