// Key and value names.
#include "config/names.h"

#include "rtl/upcase.h"

#include <algorithm>
#include <cstdint>

namespace cm {

namespace {

constexpr std::wstring_view kMachinePrefix = L"HKEY_LOCAL_MACHINE";
constexpr std::wstring_view kUsersPrefix = L"HKEY_USERS";

bool IsScalarValue(std::uint32_t code)
{
    return code < 0x110000 && (code < 0xD800 || code > 0xDFFF);
}

// The rest of `path` after `root` when `path` is `root` alone or `root` followed by a
// backslash, compared case-insensitively.
std::optional<std::wstring_view> AfterRoot(std::wstring_view path, std::wstring_view root)
{
    if (path.size() < root.size() || !NamesEqual(path.substr(0, root.size()), root)) {
        return std::nullopt;
    }
    std::wstring_view rest = path.substr(root.size());
    if (!rest.empty() && rest.front() != L'\\') {
        return std::nullopt;
    }
    return rest;
}

}  // namespace

std::wstring Fold(std::wstring_view name)
{
    std::wstring folded(name);
    for (WCHAR& c : folded) {
        c = rtl::UpcaseChar(c);
    }
    return folded;
}

bool NamesEqual(std::wstring_view a, std::wstring_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (rtl::UpcaseChar(a[i]) != rtl::UpcaseChar(b[i])) {
            return false;
        }
    }
    return true;
}

std::optional<std::wstring_view> StringView(const UNICODE_STRING* string)
{
    if (string == nullptr) {
        return std::wstring_view();
    }
    if (string->Length % sizeof(WCHAR) != 0 || string->Length > string->MaximumLength ||
        (string->Length > 0 && string->Buffer == nullptr)) {
        return std::nullopt;
    }
    return std::wstring_view(string->Buffer, string->Length / sizeof(WCHAR));
}

bool IsStorableName(std::wstring_view name)
{
    return std::all_of(name.begin(), name.end(), [](WCHAR c) {
        return c != L'\0' && c != L'\r' && c != L'\n' &&
               IsScalarValue(static_cast<std::uint32_t>(c));
    });
}

std::optional<std::vector<std::wstring>> SplitKeyPath(std::wstring_view path)
{
    std::vector<std::wstring> components;
    if (path.empty()) {
        return components;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find(L'\\', start);
        const std::wstring_view component = path.substr(
            start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start);
        if (component.empty() || component.size() > kMaxKeyNameLength ||
            !IsStorableName(component)) {
            return std::nullopt;
        }
        components.emplace_back(component);
        if (end == std::wstring_view::npos) {
            return components;
        }
        start = end + 1;
    }
}

std::optional<std::wstring> NormalisePath(std::wstring_view path)
{
    if (auto rest = AfterRoot(path, L"\\Registry")) {
        return L"\\Registry" + std::wstring(*rest);
    }
    if (auto rest = AfterRoot(path, kMachinePrefix)) {
        return L"\\Registry\\Machine" + std::wstring(*rest);
    }
    if (auto rest = AfterRoot(path, kUsersPrefix)) {
        return L"\\Registry\\User" + std::wstring(*rest);
    }
    return std::nullopt;
}

std::optional<std::string> ToUtf8(std::wstring_view text)
{
    std::string out;
    out.reserve(text.size());
    for (WCHAR c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (!IsScalarValue(code)) {
            return std::nullopt;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

std::optional<std::wstring> FromUtf8(std::string_view text)
{
    std::wstring out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        std::uint32_t code;
        std::uint32_t minimum;
        if (lead < 0x80) {
            extra = 0, code = lead, minimum = 0;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, code = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, code = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, code = lead & 0x07, minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (i + extra >= text.size()) {  // sequence cut short by the end of the text
            return std::nullopt;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) {
                return std::nullopt;
            }
            code = (code << 6) | (next & 0x3F);
        }
        if (code < minimum || !IsScalarValue(code)) {
            return std::nullopt;
        }
        out += static_cast<WCHAR>(code);
        i += extra + 1;
    }
    return out;
}

}  // namespace cm
