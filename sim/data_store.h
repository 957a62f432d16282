// The bridge's byte-addressed data store (non-volatile: it survives resets).
//
// Both data-store packets share one layout after the opcode:
//   [1] selector: 0x51 addresses the data store; other selectors are not the store's
//   [2] number of address bytes: 2 (big-endian address in [4], [5]) or 1 (address in [4])
//   [3] byte count n
//   [4], [5] address
// A write block (0x40) carries its n data bytes right after the address (at most 58 with a
// two-byte address); a read (0x41) answers with n bytes (1..63) at the start of its second
// reply. Addresses wrap around the store's size; a packet with another selector or an
// address length other than 1 or 2 writes nothing and reads 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "sim/packet.h"

namespace sim {

constexpr std::uint8_t kDataStoreSelector = 0x51;
constexpr std::size_t kDataStoreSize = 0x2000;

// The decoded header of a data-store packet.
struct DataStoreAccess {
    std::uint16_t address = 0;
    std::size_t count = 0;
    std::size_t dataOffset = 0;  // packet index of the first data byte of a write
};

// Decodes the header of a 0x40 or 0x41 packet; empty when it does not address the store.
std::optional<DataStoreAccess> DecodeDataStoreAccess(const Packet& packet);

class DataStore {
public:
    DataStore() : bytes_(kDataStoreSize, 0xFF) {}

    // Applies a write block; returns the number of bytes stored.
    std::size_t WriteBlock(const Packet& packet);
    // Fills the second reply of a read.
    Packet ReadReply(const Packet& packet) const;

    std::uint8_t Peek(std::uint16_t address) const { return bytes_[address % bytes_.size()]; }
    void Poke(std::uint16_t address, std::uint8_t value) { bytes_[address % bytes_.size()] = value; }

private:
    std::vector<std::uint8_t> bytes_;
};

}  // namespace sim
