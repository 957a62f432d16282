// A fixture that plugs simulated cameras into hub ports, so the PnP manager loads the camera
// driver for them and starts them, with the registry in memory unless a test chooses a file.
#pragma once

#include <gtest/gtest.h>

#include <ntoskrnl/host/pnp.h>
#include <ntoskrnl/host/registry.h>
#include <ntoskrnl/host/verifier.h>
#include <usbd/host/hub.h>

#include "device/capture_device.h"
#include "imaging/image_processor.h"
#include "sim/camera.h"

#include <ks/user/ks_client.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace cameratest {

inline constexpr wchar_t kServiceName[] = L"usbcam";
inline constexpr wchar_t kHardwareId[] = L"USB\\VID_F055&PID_7A31";

// One plugged-in camera: the simulated device and its hub port.
// The camera's published range of `format` (32-bit RGB by default); fails the test when the
// camera does not offer it.
inline const KS_DATARANGE_VIDEO& OfferedRangeOf(const CaptureDevice* device,
                                                ULONG format = OutputFormatRgb32)
{
    static const KS_DATARANGE_VIDEO none{};
    const KS_DATARANGE_VIDEO* range = OfferedRange(CurrentFormats(&device->Formats), format);
    EXPECT_NE(range, nullptr) << "format " << format;
    return range != nullptr ? *range : none;
}

struct PluggedCamera {
    std::unique_ptr<sim::Camera> camera;
    std::unique_ptr<usbd::HubPort> port;

    PDEVICE_OBJECT Pdo() const { return port->PhysicalDevice(); }
    // The driver's object for the camera; null when the device is not (or no longer) there.
    CaptureDevice* Device() const
    {
        PKSDEVICE device = KsGetDeviceForDeviceObject(pnp::TopOfStack(Pdo()));
        return device == nullptr ? nullptr : static_cast<CaptureDevice*>(device->Context);
    }
    rtl::WideString DriverKey() const { return pnp::DriverKeyPath(Pdo()) + L"\\Settings"; }
};

class CameraTest : public testing::Test {
protected:
    void SetUp() override
    {
        reg::Reset();
        pnp::ClearDriverBindings();
        pnp::RegisterDriver(kServiceName, DriverEntry, {kHardwareId});
    }

    void TearDown() override
    {
        UnplugAll();
        pnp::ClearDriverBindings();
        reg::Reset();
    }

    // `beforeAttach` sees the camera before it is plugged in (to arm a fault, say).
    PluggedCamera& Plug(sim::CameraOptions options = {},
                        const std::function<void(sim::Camera&)>& beforeAttach = {})
    {
        auto plugged = std::make_unique<PluggedCamera>();
        plugged->camera = std::make_unique<sim::Camera>(options);
        if (beforeAttach) {
            beforeAttach(*plugged->camera);
        }
        plugged->port = usbd::HubPort::Attach(*plugged->camera);
        cameras_.push_back(std::move(plugged));
        return *cameras_.back();
    }

    // Orderly removal of every camera (the device stops and saves its settings first).
    void UnplugAll()
    {
        for (auto& plugged : cameras_) {
            if (plugged->port != nullptr) {
                plugged->port->Remove();
                plugged->port.reset();
            }
        }
        cameras_.clear();
    }

    std::vector<std::unique_ptr<PluggedCamera>> cameras_;
};

// One camera plugged in before each test, with the driver's device for it.
class OneCameraTest : public CameraTest {
protected:
    void SetUp() override
    {
        CameraTest::SetUp();
        plugged_ = &Plug(Options());
        device_ = plugged_->Device();
        ASSERT_NE(device_, nullptr);
    }

    virtual sim::CameraOptions Options() { return {}; }

    PluggedCamera* plugged_ = nullptr;
    CaptureDevice* device_ = nullptr;
};

}  // namespace cameratest
