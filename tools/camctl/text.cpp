#include "text.h"

#include <cctype>
#include <charconv>
#include <cstdio>

namespace camctl {

std::string Lower(std::string_view text)
{
    std::string lower(text);
    for (char& c : lower) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return lower;
}

std::string Narrow(rtl::WideStringView text)
{
    std::string narrow;
    narrow.reserve(text.size());
    for (wchar_t c : text) {
        narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return narrow;
}

std::string StatusText(NTSTATUS status)
{
    const char* name = nullptr;
    switch (status) {
    case STATUS_SUCCESS: name = "STATUS_SUCCESS"; break;
    case STATUS_TIMEOUT: name = "STATUS_TIMEOUT"; break;
    case STATUS_UNSUCCESSFUL: name = "STATUS_UNSUCCESSFUL"; break;
    case STATUS_NOT_FOUND: name = "STATUS_NOT_FOUND"; break;
    case STATUS_INVALID_PARAMETER: name = "STATUS_INVALID_PARAMETER"; break;
    case STATUS_INVALID_DEVICE_REQUEST: name = "STATUS_INVALID_DEVICE_REQUEST"; break;
    case STATUS_INVALID_DEVICE_STATE: name = "STATUS_INVALID_DEVICE_STATE"; break;
    case STATUS_NO_MATCH: name = "STATUS_NO_MATCH"; break;
    case STATUS_CANCELLED: name = "STATUS_CANCELLED"; break;
    case STATUS_DEVICE_NOT_CONNECTED: name = "STATUS_DEVICE_NOT_CONNECTED"; break;
    case STATUS_NO_SUCH_DEVICE: name = "STATUS_NO_SUCH_DEVICE"; break;
    case STATUS_INSUFFICIENT_RESOURCES: name = "STATUS_INSUFFICIENT_RESOURCES"; break;
    case STATUS_BUFFER_TOO_SMALL: name = "STATUS_BUFFER_TOO_SMALL"; break;
    case STATUS_OBJECT_NAME_NOT_FOUND: name = "STATUS_OBJECT_NAME_NOT_FOUND"; break;
    default: break;
    }
    char number[16];
    std::snprintf(number, sizeof(number), "0x%08X", static_cast<unsigned>(status));
    return name == nullptr ? std::string(number) : std::string(name) + " (" + number + ")";
}

std::optional<std::int32_t> ParseValue(std::string_view text)
{
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t magnitude = 0;
    auto [end, fault] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (fault != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    if (negative ? magnitude > 0x80000000ull : magnitude > 0xFFFFFFFFull) {
        return std::nullopt;
    }
    std::uint32_t bits = static_cast<std::uint32_t>(magnitude);
    if (negative) {
        bits = ~bits + 1u;
    }
    return static_cast<std::int32_t>(bits);
}

std::string Hex(std::uint32_t value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%0*X", digits, value);
    return text;
}

}  // namespace camctl
