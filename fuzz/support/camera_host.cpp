#include "support/camera_host.h"

#include <ks/host/ks_host.h>
#include <ntoskrnl/host/pnp.h>
#include <ntoskrnl/host/registry.h>

#include "device/capture_device.h"

#include <cstdio>
#include <cstdlib>

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace fuzzhost {

void LoadCameraDriver()
{
    static const bool loaded = [] {
        // The callback budget the framework gives sanitizer builds (five times 500 ms): the
        // stand-in recognises GCC's sanitizer macros only, and these targets are built by Clang.
        if (std::getenv("USBCAM_CALLBACK_BUDGET_MS") == nullptr) {
            ks::SetCallbackBudgetMs(2500);
        }
        reg::Reset();
        pnp::RegisterDriver(L"usbcam", DriverEntry, {L"USB\\VID_F055&PID_7A31"});
        return true;
    }();
    (void)loaded;
}

PluggedCamera::PluggedCamera(sim::CameraOptions options,
                             const std::function<void(sim::Camera&)>& beforePlug)
    : camera_(std::make_unique<sim::Camera>(std::move(options)))
{
    LoadCameraDriver();
    if (beforePlug) {
        beforePlug(*camera_);
    }
    port_ = usbd::HubPort::Attach(*camera_);
    Require(port_ != nullptr, "hub port for the simulated camera");
}

PluggedCamera::~PluggedCamera()
{
    if (port_ != nullptr) {
        port_->Remove();
        port_.reset();
    }
}

bool PluggedCamera::Started() const
{
    PKSDEVICE device = KsGetDeviceForDeviceObject(pnp::TopOfStack(Pdo()));
    return device != nullptr && device->Context != nullptr;
}

PluggedCamera& SharedCamera()
{
    // Never destroyed: the process ends with the camera still plugged.
    static PluggedCamera* camera = [] {
        auto* plugged = new PluggedCamera;
        Require(plugged->Started(), "the driver started for the shared camera");
        return plugged;
    }();
    return *camera;
}

HANDLE SharedFilter()
{
    static HANDLE filter = [] {
        SharedCamera();
        std::vector<rtl::WideString> links = KsEnumerateFilters(KSCATEGORY_CAPTURE);
        Require(!links.empty(), "a capture filter for the shared camera");
        HANDLE handle = nullptr;
        Require(KsOpenFilter(links.front(), &handle) == STATUS_SUCCESS, "the filter opens");
        return handle;
    }();
    return filter;
}

std::vector<std::uint8_t> OfferedRange(HANDLE filter)
{
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    request.PinId = 0;
    std::vector<std::uint8_t> bytes(4096);
    ULONG returned = 0;
    NTSTATUS status =
        KsSynchronousDeviceControl(filter, IOCTL_KS_PROPERTY, &request, sizeof request,
                                   bytes.data(), static_cast<ULONG>(bytes.size()), &returned);
    Require(status == STATUS_SUCCESS &&
                returned >= sizeof(KSMULTIPLE_ITEM) + sizeof(KS_DATARANGE_VIDEO),
            "the pin's data ranges");
    auto* first = bytes.data() + sizeof(KSMULTIPLE_ITEM);
    return std::vector<std::uint8_t>(first, first + sizeof(KS_DATARANGE_VIDEO));
}

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "fuzz target set-up failed: %s\n", what);
        std::abort();
    }
}

}  // namespace fuzzhost
