// One camera as an application sees it: its capture filter and the private property set, by
// item name or id, plus the window, the service items and the offered video format.
#pragma once

#include "control/property_set.h"

#include <ks/user/ks_client.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camctl {

// The item of a name, compared case-insensitively; null when there is none.
const CameraPropertyInfo* FindItem(std::string_view name);

// The items that report an item's limits and default, where the set has them.
struct ItemLimits {
    std::optional<ULONG> min;
    std::optional<ULONG> max;
    std::optional<ULONG> def;
};
ItemLimits LimitsOf(ULONG id);

// Service items reach the command channel directly; their own commands use them.
bool IsServiceItem(ULONG id);

struct Window {
    LONG subSample = 0;
    LONG x = 0;
    LONG y = 0;
    LONG width = 0;
    LONG height = 0;
};

struct OutputSize {
    LONG width = 0;
    LONG height = 0;
};

class CameraControl {
public:
    NTSTATUS Open(const rtl::WideString& link);
    void Close() { filter_.Close(); }
    const ksclient::Filter& Filter() const { return filter_; }

    NTSTATUS Get(ULONG id, LONG& value) const;
    NTSTATUS Set(ULONG id, LONG value, LONG value2 = 0) const;

    NTSTATUS GetWindow(Window& window) const;
    NTSTATUS SetWindow(const Window& window) const;
    // The size of the frames the capture pin offers now (its data range).
    NTSTATUS GetOutputSize(OutputSize& size) const;

    // Sensor registers through RegisterRead and RegisterWrite.
    NTSTATUS ReadRegister(std::uint8_t reg, std::uint16_t& value) const;
    NTSTATUS WriteRegister(std::uint8_t reg, std::uint16_t value) const;
    // The bridge's data store through RawCommand and RawRead. A command carries at most 63
    // payload bytes.
    NTSTATUS SendRawCommand(const std::vector<std::uint8_t>& payload) const;
    NTSTATUS ReadDataByte(std::uint16_t address, std::uint8_t& value) const;

private:
    ksclient::Filter filter_;
};

}  // namespace camctl
