// Key and value names: case folding, path splitting and the UTF-8 form used by the hive file
// (platform-internal).
#pragma once

#include <wdm.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cm {

// Longest key name component and value name, in characters.
constexpr std::size_t kMaxKeyNameLength = 255;
constexpr std::size_t kMaxValueNameLength = 16383;

// The name in the form used to compare names case-insensitively.
std::wstring Fold(std::wstring_view name);
bool NamesEqual(std::wstring_view a, std::wstring_view b);

// The characters of a counted string; nullopt when the count is not a whole number of
// characters or exceeds MaximumLength, or the buffer is missing.
std::optional<std::wstring_view> StringView(const UNICODE_STRING* string);

// True when the hive file can hold the name: Unicode scalar values only, and no NUL, carriage
// return or line feed.
bool IsStorableName(std::wstring_view name);

// Splits a key path at backslashes. Returns nullopt when a component is empty, too long or not
// storable. An empty path gives no components.
std::optional<std::vector<std::wstring>> SplitKeyPath(std::wstring_view path);

// Absolute key path ("\Registry\Machine\A") from an object name, or from the export form
// ("HKEY_LOCAL_MACHINE\A", "HKEY_USERS\A"); nullopt for any other root.
std::optional<std::wstring> NormalisePath(std::wstring_view path);

// UTF-8 conversions. Decoding refuses malformed sequences, surrogates and code points above
// U+10FFFF; encoding refuses characters that are not Unicode scalar values.
std::optional<std::string> ToUtf8(std::wstring_view text);
std::optional<std::wstring> FromUtf8(std::string_view text);

}  // namespace cm
