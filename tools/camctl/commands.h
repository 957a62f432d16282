// The bodies of camctl's subcommands. Arguments arrive already checked (names resolved,
// values parsed); each command talks to one camera's filter and returns an exit code.
#pragma once

#include "camctl.h"
#include "camera_control.h"
#include "session.h"
#include "standard_properties.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace camctl {

// A private item, or a standard one (std.NAME).
struct PropertyRef {
    const CameraPropertyInfo* item = nullptr;
    const StandardItem* standard = nullptr;
};

struct Assignment {
    const CameraPropertyInfo* item = nullptr;
    std::int32_t value = 0;
    // Standard items: the second value of a pair, and a switch to automatic control.
    const StandardItem* standard = nullptr;
    std::int32_t value2 = 0;
    bool automatic = false;
};

struct CaptureRequest {
    std::uint64_t count = 1;
    std::string prefix = "frame";
    std::string format;  // an offered format's name; empty: the first offered (rgb32)
};

// Gives a camera that never had settings saved the driver's default exposure (a camera starts
// with exposure 1, a nearly black picture) and says so on `err`.
void GiveStartingExposure(const PluggedCamera& camera, std::size_t index, std::ostream& err);

int ListCameras(Session& session, std::ostream& out, std::ostream& err);
int ShowProperties(const CameraControl& control, bool json, std::ostream& out, std::ostream& err);
int GetProperties(const CameraControl& control, const std::vector<PropertyRef>& items,
                  std::ostream& out, std::ostream& err);
int SetProperties(const CameraControl& control, const std::vector<Assignment>& assignments,
                  std::ostream& out, std::ostream& err);
int SetWindow(const CameraControl& control, const Window& window, std::ostream& out,
              std::ostream& err);
int ReadRegister(const CameraControl& control, std::uint8_t reg, std::ostream& out,
                 std::ostream& err);
int WriteRegister(const CameraControl& control, std::uint8_t reg, std::uint16_t value,
                  std::ostream& out, std::ostream& err);
int WriteData(const CameraControl& control, const std::vector<std::uint8_t>& payload,
              std::ostream& out, std::ostream& err);
int ReadData(const CameraControl& control, std::uint16_t address, std::ostream& out,
             std::ostream& err);
int Capture(const CameraControl& control, std::size_t index, const CaptureRequest& request,
            const Console& console, std::ostream& out, std::ostream& err);
int Stream(const CameraControl& control, std::size_t index, std::uint64_t count,
           const std::string& format, const Console& console, std::ostream& out,
           std::ostream& err);
// Streams `count` frames (kept nowhere), then prints the stream statistics and the pin's
// dropped-frame counts of that stream.
int ShowStatistics(const CameraControl& control, std::size_t index, std::uint64_t count,
                   const Console& console, std::ostream& out, std::ostream& err);
// The standard items the camera answers: value, range, step, default and automatic control.
int ShowStandardProperties(const CameraControl& control, std::ostream& out, std::ostream& err);

// "RedGain: 600 clamped to 512" and its relatives: what a set did, given the read-back value
// and the item's limits where the set has them.
std::string DescribeSet(const char* name, std::int32_t requested, std::optional<LONG> readBack,
                        std::optional<LONG> min, std::optional<LONG> max);

}  // namespace camctl
