// Counters of what the camera saw and did.
#pragma once

#include <array>
#include <cstdint>

namespace sim {

struct CameraStatistics {
    std::uint64_t commands = 0;  // command packets processed
    std::array<std::uint64_t, 256> commandsByOpcode{};
    std::uint64_t unknownCommands = 0;
    std::uint64_t refusedCommands = 0;  // OUT transfers failed or stalled by a fault
    std::uint64_t repliesSent = 0;
    std::uint64_t repliesLost = 0;
    std::uint64_t repliesDelayed = 0;
    std::uint64_t frameRequests = 0;
    std::uint64_t framesSent = 0;
    std::uint64_t framesDropped = 0;
    std::uint64_t framesShortened = 0;
    std::uint64_t framesDelayed = 0;
    std::uint64_t framesCutByRemoval = 0;
    std::uint64_t triggers = 0;
    std::uint64_t triggersIgnored = 0;
    std::uint64_t autoExposureSteps = 0;
    std::uint64_t haltsCleared = 0;
    std::uint64_t portResets = 0;
};

}  // namespace sim
