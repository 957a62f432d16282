// The platform's standard video property items, as camctl names them: "std." and a lower-case
// name (std.brightness, std.exposure, ...). One row per item in StandardItems(); ranges,
// steps, defaults and whether an item offers automatic control come from the driver's
// basic-support and get answers, so a new item is one more row.
#pragma once

#include <ks/user/ks_client.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace camctl {

inline constexpr std::string_view kStandardPrefix = "std.";

// The record an item travels in: one value, or two (Value1 and Value2, the white-balance
// components' red and blue).
enum class StandardRecord { Single, Pair };

struct StandardItem {
    const char* name;  // without the prefix
    const GUID* set;
    ULONG id;
    StandardRecord record;
};

const std::vector<StandardItem>& StandardItems();
// The item of a name ("std.gain", compared case-insensitively); null when there is none.
const StandardItem* FindStandardItem(std::string_view name);
std::string StandardName(const StandardItem& item);

// A basic-support answer: the access flags, the first stepped range and the default value.
struct StandardSupport {
    ULONG access = 0;
    std::optional<LONG> min;
    std::optional<LONG> max;
    std::optional<ULONG> step;
    std::optional<LONG> def;
};

struct StandardValue {
    LONG value = 0;
    LONG value2 = 0;  // Pair items only
    ULONG flags = 0;
    ULONG capabilities = 0;
    bool Auto() const;
    bool OffersAuto() const;
};

NTSTATUS QueryStandardSupport(HANDLE object, const StandardItem& item, StandardSupport& support);
NTSTATUS GetStandard(HANDLE object, const StandardItem& item, StandardValue& value);
// A manual set of the value(s), or with `automatic` a switch to automatic control.
NTSTATUS SetStandard(HANDLE object, const StandardItem& item, const StandardValue& value,
                     bool automatic);

// "-6", "128,130"; " (auto)" follows for an item under automatic control.
std::string StandardValueText(const StandardItem& item, const StandardValue& value);

}  // namespace camctl
