// Simulated cameras with the camera driver loaded for them, for the fuzz targets: the same path
// as the end-to-end tests (PnP manager, hub port, simulated camera) without a test framework.
#pragma once

#include <ks.h>
#include <ksmedia.h>

#include "sim/camera.h"

#include <ks/user/ks_client.h>
#include <usbd/host/hub.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace fuzzhost {

// Binds the camera driver to the simulated camera's hardware id, with the registry in memory.
// Idempotent.
void LoadCameraDriver();

// One camera on a hub port: plugged on construction (the driver starts for it), removed in
// order on destruction.
class PluggedCamera {
public:
    // `beforePlug` prepares the camera (faults, reply rewriting) before the driver meets it.
    explicit PluggedCamera(sim::CameraOptions options = {},
                           const std::function<void(sim::Camera&)>& beforePlug = {});
    ~PluggedCamera();
    PluggedCamera(const PluggedCamera&) = delete;
    PluggedCamera& operator=(const PluggedCamera&) = delete;

    sim::Camera& Camera() { return *camera_; }
    // Whether the driver's device started for the camera.
    bool Started() const;
    PDEVICE_OBJECT Pdo() const { return port_->PhysicalDevice(); }

private:
    std::unique_ptr<sim::Camera> camera_;
    std::unique_ptr<usbd::HubPort> port_;
};

// The camera every iteration of a target shares: plugged at the first call and kept for the
// life of the process (a fresh camera per input would cost more than the input itself).
PluggedCamera& SharedCamera();
// A filter open on the shared camera, kept open like the camera.
HANDLE SharedFilter();

// The range the shared camera's pin offers (KS_DATARANGE_VIDEO), as the pin reports it.
std::vector<std::uint8_t> OfferedRange(HANDLE filter);

// memcpy that accepts null pointers when there is nothing to copy.
inline void CopyBytes(void* to, const void* from, std::size_t count)
{
    if (count != 0) {
        std::memcpy(to, from, count);
    }
}

// A KSPROPERTY header.
inline KSPROPERTY Property(const GUID& set, ULONG id, ULONG flags)
{
    KSPROPERTY property{};
    property.Set = set;
    property.Id = id;
    property.Flags = flags;
    return property;
}

// Stops the process when the condition fails: the fuzzer then keeps the input as a crash.
void Require(bool condition, const char* what);

}  // namespace fuzzhost
