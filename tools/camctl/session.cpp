#include "session.h"

#include "png_io.h"
#include "text.h"

#include <ks/user/ksuser.h>
#include <ksmedia.h>
#include <ntoskrnl/host/pnp.h>
#include <ntoskrnl/host/registry.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace camctl {

namespace {

constexpr wchar_t kServiceName[] = L"usbcam";
constexpr wchar_t kHardwareId[] = L"USB\\VID_F055&PID_7A31";

}  // namespace

std::string DefaultRegistryPath()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/usbcam/registry.reg";
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::string(home) + "/.local/state/usbcam/registry.reg";
    }
    return {};
}

bool UseRegistryFile(const std::string& path, std::string& error)
{
    std::filesystem::path directory = std::filesystem::path(path).parent_path();
    if (!directory.empty()) {
        std::error_code failure;
        std::filesystem::create_directories(directory, failure);
        if (failure) {
            error = "cannot create " + directory.string() + ": " + failure.message();
            return false;
        }
    }
    reg::LoadResult loaded = reg::UseHiveFile(path);
    if (!loaded) {
        error = loaded.message.empty() ? path + ": cannot be read" : loaded.message;
        error += " (the file was left as it is)";
        return false;
    }
    return true;
}

std::optional<sim::Scene> SceneByName(const std::string& name, std::string& error)
{
    std::string lower = Lower(name);
    if (lower == "chart") {
        return sim::Scene::ColourChart();
    }
    if (lower == "bars") {
        return sim::Scene::ColourBars();
    }
    if (lower == "gradient") {
        return sim::Scene::Gradient();
    }
    if (lower.size() > 4 && lower.substr(lower.size() - 4) == ".png") {
        RgbImage image;
        if (!ReadPng(name, image, error)) {
            return std::nullopt;
        }
        std::vector<sim::Rgb> pixels(static_cast<std::size_t>(image.width) * image.height);
        for (std::size_t i = 0; i < pixels.size(); ++i) {
            pixels[i] = sim::Rgb{image.pixels[3 * i], image.pixels[3 * i + 1],
                                 image.pixels[3 * i + 2]};
        }
        return sim::Scene::FromImage(image.width, image.height, pixels);
    }
    error = "unknown scene '" + name + "' (chart, bars, gradient or a .png file)";
    return std::nullopt;
}

Session::~Session()
{
    Stop();
}

bool Session::Start(const SessionOptions& options, std::string& error)
{
    pnp::RegisterDriver(kServiceName, DriverEntry, {kHardwareId});
    bound_ = true;
    for (int index = 0; index < options.cameras; ++index) {
        std::vector<rtl::WideString> before = KsEnumerateFilters(KSCATEGORY_VIDEO);

        auto plugged = std::make_unique<PluggedCamera>();
        sim::CameraOptions cameraOptions;
        cameraOptions.chipVersion = options.chipVersion;
        cameraOptions.scene = options.scene;
        cameraOptions.timing = options.timing;
        plugged->camera = std::make_unique<sim::Camera>(cameraOptions);
        plugged->port = usbd::HubPort::Attach(*plugged->camera);
        if (plugged->port == nullptr) {
            error = "camera " + std::to_string(index) + ": no hub port for it";
            Stop();
            return false;
        }
        NTSTATUS started = plugged->port->ReportStatus();
        // The device's keys exist once it was reported; the driver only reads "Settings" at
        // start and first writes it when a filter closes or the device stops.
        plugged->settingsKey = pnp::DriverKeyPath(plugged->port->PhysicalDevice()) + L"\\Settings";
        plugged->hadSavedSettings = reg::ReadDword(plugged->settingsKey, L"Exposure").has_value();

        std::vector<rtl::WideString> after = KsEnumerateFilters(KSCATEGORY_VIDEO);
        for (const rtl::WideString& link : after) {
            if (std::find(before.begin(), before.end(), link) == before.end()) {
                plugged->link = link;
                break;
            }
        }
        cameras_.push_back(std::move(plugged));
        if (!NT_SUCCESS(started)) {
            error = "camera " + std::to_string(index) + " did not start (" + StatusText(started) +
                    ")";
            Stop();
            return false;
        }
        if (cameras_.back()->link.empty()) {
            error = "camera " + std::to_string(index) + " started but offers no capture filter";
            Stop();
            return false;
        }
    }
    return true;
}

void Session::Stop()
{
    // Each device stops (and saves its settings) before its camera goes away.
    for (auto& plugged : cameras_) {
        if (plugged->port != nullptr) {
            plugged->port->Remove();
            plugged->port.reset();
        }
        plugged->camera.reset();
    }
    cameras_.clear();
    if (bound_) {
        pnp::ClearDriverBindings();
        bound_ = false;
    }
}

}  // namespace camctl
