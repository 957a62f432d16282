// Key and value names.
#include "config/names.h"

#include "rtl/upcase.h"

#include <algorithm>
#include <cstdint>

namespace cm {

namespace {

constexpr rtl::WideStringView kMachinePrefix = L"HKEY_LOCAL_MACHINE";
constexpr rtl::WideStringView kUsersPrefix = L"HKEY_USERS";

// The rest of `path` after `root` when `path` is `root` alone or `root` followed by a
// backslash, compared case-insensitively.
std::optional<rtl::WideStringView> AfterRoot(rtl::WideStringView path, rtl::WideStringView root)
{
    if (path.size() < root.size() || !NamesEqual(path.substr(0, root.size()), root)) {
        return std::nullopt;
    }
    rtl::WideStringView rest = path.substr(root.size());
    if (!rest.empty() && rest.front() != L'\\') {
        return std::nullopt;
    }
    return rest;
}

}  // namespace

rtl::WideString Fold(rtl::WideStringView name)
{
    rtl::WideString folded(name);
    for (WCHAR& c : folded) {
        c = rtl::UpcaseChar(c);
    }
    return folded;
}

bool NamesEqual(rtl::WideStringView a, rtl::WideStringView b)
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

std::optional<rtl::WideStringView> StringView(const UNICODE_STRING* string)
{
    if (string == nullptr) {
        return rtl::WideStringView();
    }
    if (string->Length % sizeof(WCHAR) != 0 || string->Length > string->MaximumLength ||
        (string->Length > 0 && string->Buffer == nullptr)) {
        return std::nullopt;
    }
    return rtl::WideStringView(string->Buffer, string->Length / sizeof(WCHAR));
}

bool IsStorableName(rtl::WideStringView name)
{
    return std::none_of(name.begin(), name.end(),
                        [](WCHAR c) { return c == L'\0' || c == L'\r' || c == L'\n'; }) &&
           rtl::IsWellFormedUtf16(name);
}

std::optional<std::vector<rtl::WideString>> SplitKeyPath(rtl::WideStringView path)
{
    std::vector<rtl::WideString> components;
    if (path.empty()) {
        return components;
    }
    std::size_t start = 0;
    while (true) {
        const std::size_t end = path.find(L'\\', start);
        const rtl::WideStringView component = path.substr(
            start, end == rtl::WideStringView::npos ? rtl::WideStringView::npos : end - start);
        if (component.empty() || component.size() > kMaxKeyNameLength ||
            !IsStorableName(component)) {
            return std::nullopt;
        }
        components.emplace_back(component);
        if (end == rtl::WideStringView::npos) {
            return components;
        }
        start = end + 1;
    }
}

std::optional<rtl::WideString> NormalisePath(rtl::WideStringView path)
{
    if (auto rest = AfterRoot(path, L"\\Registry")) {
        return L"\\Registry" + rtl::WideString(*rest);
    }
    if (auto rest = AfterRoot(path, kMachinePrefix)) {
        return L"\\Registry\\Machine" + rtl::WideString(*rest);
    }
    if (auto rest = AfterRoot(path, kUsersPrefix)) {
        return L"\\Registry\\User" + rtl::WideString(*rest);
    }
    return std::nullopt;
}

}  // namespace cm
