// Key and value names: case folding, path splitting (platform-internal).
#pragma once

#include <ntoskrnl/rtl/wide_string.h>
#include <wdm.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cm {

// Longest key name component and value name, in WCHARs (UTF-16 units), as the platform counts.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

// The name in the form used to compare names case-insensitively.
rtl::WideString Fold(rtl::WideStringView name);
bool NamesEqual(rtl::WideStringView a, rtl::WideStringView b);

// The characters of a counted string; nullopt when the count is not a whole number of
// characters or exceeds MaximumLength, or the buffer is missing.
std::optional<rtl::WideStringView> StringView(const UNICODE_STRING* string);

// True when the hive file can hold the name: well-formed UTF-16 (surrogates in pairs), and no
// NUL, carriage return or line feed.
bool IsStorableName(rtl::WideStringView name);

// Splits a key path at backslashes. Returns nullopt when a component is empty, too long or not
// storable. An empty path gives no components.
std::optional<std::vector<rtl::WideString>> SplitKeyPath(rtl::WideStringView path);

// Absolute key path ("\Registry\Machine\A") from an object name, or from the export form
// ("HKEY_LOCAL_MACHINE\A", "HKEY_USERS\A"); nullopt for any other root.
std::optional<rtl::WideString> NormalisePath(rtl::WideStringView path);

}  // namespace cm
