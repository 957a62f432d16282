// Faults of the driver that are known and being fixed elsewhere. The targets rewrite inputs that
// would only hit them again, so that a run finds something new instead; each rewrite changes
// as little as it can. Remove a rewrite once its fault is fixed.
//
// - Data intersection reads and writes the caller's bitmap header past its biSize when biSize
//   is below 24, and a range whose FormatSize wraps the list offset passes the size check.
// - A format whose biSize is below 40 is read past the bytes it declares.
// - A biHeight of INT_MIN is negated.
// - The window's left edge plus its width (top plus height) overflows.
// - Found by these targets: a camera that never answers (here: a configuration whose pipes are
//   not the camera's endpoints, or have the wrong directions) makes every register transfer of
//   the device start wait out the register time-out; fuzz_camera_device passes such
//   descriptors over. And a
//   configuration descriptor whose wTotalLength grows between the driver's header read and its
//   whole read is parsed past the driver's allocation; fuzz_camera_device keeps it from growing.
// - A property set of Timeout makes later frame waits as long as it says: capped at 1 s here
//   so that no input can make an iteration block (not a fault, a matter of speed).
#pragma once

#include <cstddef>
#include <cstdint>

namespace fuzzhost {

// False when the environment sets FUZZ_KEEP_KNOWN_FAULTS=1: the rewrites below then change
// nothing, so that the inputs in fuzz/regressions reach the faults again (to check a fix).
bool AvoidingKnownFaults();

// A KS_VIDEOINFOHEADER at `header` with `available` bytes from there on (fewer than a whole
// header is fine: only the fields inside are touched). `minimumBiSize` is 24 for a range
// offered to intersection, 40 for a format.
void AvoidKnownVideoHeaderFaults(std::uint8_t* header, std::size_t available,
                                 std::uint32_t minimumBiSize);
// A KSDATAFORMAT with its video header, `size` bytes.
void AvoidKnownFormatFaults(std::uint8_t* format, std::size_t size);
// A KS_DATARANGE_VIDEO (or a shorter range), `size` bytes, at `offset` in its KSMULTIPLE_ITEM.
void AvoidKnownRangeFaults(std::uint8_t* range, std::size_t size, std::uint32_t offset);
// A KSPROPERTY_PIN_DATAINTERSECTION request (KSP_PIN, KSMULTIPLE_ITEM, ranges), `size` bytes:
// every range the framework would hand to the driver.
void AvoidKnownIntersectionFaults(std::uint8_t* request, std::size_t size);
// A request of the camera's private property set: the item id, its flags and its data.
void AvoidKnownPropertyFaults(std::uint32_t id, std::uint32_t flags, std::uint8_t* data,
                              std::size_t size);

constexpr std::uint32_t kTimeoutCapMs = 1000;

}  // namespace fuzzhost
