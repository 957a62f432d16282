#include "sim/data_store.h"

#include <algorithm>

namespace sim {

std::optional<DataStoreAccess> DecodeDataStoreAccess(const Packet& packet)
{
    if (packet[1] != kDataStoreSelector) {
        return std::nullopt;
    }
    DataStoreAccess access;
    switch (packet[2]) {
    case 1:
        access.address = packet[4];
        access.dataOffset = 5;
        break;
    case 2:
        access.address = static_cast<std::uint16_t>(packet[4] << 8 | packet[5]);
        access.dataOffset = 6;
        break;
    default: return std::nullopt;
    }
    access.count = packet[3];
    return access;
}

std::size_t DataStore::WriteBlock(const Packet& packet)
{
    auto access = DecodeDataStoreAccess(packet);
    if (!access) {
        return 0;
    }
    std::size_t count = std::min(access->count, kPacketSize - access->dataOffset);
    for (std::size_t i = 0; i < count; ++i) {
        Poke(static_cast<std::uint16_t>(access->address + i), packet[access->dataOffset + i]);
    }
    return count;
}

Packet DataStore::ReadReply(const Packet& packet) const
{
    Packet reply{};
    auto access = DecodeDataStoreAccess(packet);
    if (!access) {
        reply[0] = 0xFF;
        return reply;
    }
    std::size_t count = std::clamp<std::size_t>(access->count, 1, kPacketSize);
    for (std::size_t i = 0; i < count; ++i) {
        reply[i] = Peek(static_cast<std::uint16_t>(access->address + i));
    }
    return reply;
}

}  // namespace sim
