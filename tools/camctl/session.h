// Everything a camctl run sets up around the driver: the registry file, the driver's binding to
// the camera's hardware id, and the simulated cameras plugged into hub ports. Tearing a session
// down removes every camera in order, so each device stops and saves its settings.
#pragma once

#include "sim/camera.h"

#include <ntoskrnl/rtl/wide_string.h>
#include <usbd/host/hub.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace camctl {

// The registry file used when none is given: $XDG_STATE_HOME/usbcam/registry.reg, else
// ~/.local/state/usbcam/registry.reg; empty when neither variable is set.
std::string DefaultRegistryPath();

// Keeps the registry in `path` (creating its directory). A malformed file is refused and left
// as it is: the message names the file and the line.
bool UseRegistryFile(const std::string& path, std::string& error);

// Scene names for --scene: chart, bars, gradient, or a PNG file.
std::optional<sim::Scene> SceneByName(const std::string& name, std::string& error);

struct SessionOptions {
    int cameras = 1;
    std::uint16_t chipVersion = sim::kDefaultChipVersion;
    sim::Scene scene = sim::Scene::ColourChart();
    sim::Timing timing = sim::Timing::AsFastAsPossible;
};

struct PluggedCamera {
    std::unique_ptr<sim::Camera> camera;
    std::unique_ptr<usbd::HubPort> port;
    // The capture filter's symbolic link (KSCATEGORY_VIDEO).
    rtl::WideString link;
    // Registry path of the device's "Settings" key.
    rtl::WideString settingsKey;
    // The registry held saved settings for this camera when its device started.
    bool hadSavedSettings = false;
};

class Session {
public:
    Session() = default;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Binds the driver and plugs in the cameras. On failure the message says what went wrong
    // and whatever was plugged in is removed again.
    bool Start(const SessionOptions& options, std::string& error);
    // Removes every camera (each device stops and saves its settings) and unbinds the driver.
    void Stop();

    std::size_t CameraCount() const { return cameras_.size(); }
    PluggedCamera& Camera(std::size_t index) { return *cameras_[index]; }

private:
    std::vector<std::unique_ptr<PluggedCamera>> cameras_;
    bool bound_ = false;
};

}  // namespace camctl
