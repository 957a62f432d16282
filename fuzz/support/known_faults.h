// Inputs the targets steer around, so that a run finds something new instead of the same slow
// path again; each rewrite changes as little as it can.
//
// - A camera that never answers (here: a configuration whose pipes are in the right directions
//   but are not the simulated camera's endpoints, which it answers on whatever its descriptor
//   says) makes every register read of the device start wait out the register time-out;
//   fuzz_camera_device passes such descriptors over. Likewise a camera whose replies never
//   echo the read they answer: fuzz_camera_device keeps the echo when it rewrites a reply.
// - A property set of Timeout makes later frame waits as long as it says: capped at 1 s here
//   so that no input can make an iteration block (not a fault, a matter of speed).
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzhost {

// False when the environment sets FUZZ_KEEP_KNOWN_FAULTS=1: the rewrites below then change
// nothing, so that the inputs in fuzz/regressions reach the faults again (to check a fix).
bool AvoidingKnownFaults();

// A request of the camera's private property set: the item id, its flags and its data.
void AvoidKnownPropertyFaults(std::uint32_t id, std::uint32_t flags, std::uint8_t* data,
                              std::size_t size);

constexpr std::uint32_t kTimeoutCapMs = 1000;

}  // namespace fuzzhost
