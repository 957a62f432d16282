// UTF-16 strings: well-formedness, conversions to and from UTF-8, printing.
#include <ntoskrnl/rtl/wide_string.h>

#include <cstdio>
#include <ostream>

namespace rtl {

namespace {

constexpr std::uint32_t kHighSurrogateFirst = 0xD800;
constexpr std::uint32_t kLowSurrogateFirst = 0xDC00;
constexpr std::uint32_t kSurrogateLast = 0xDFFF;

std::uint32_t Unit(WCHAR c)
{
    return static_cast<std::uint16_t>(c);
}

bool IsHighSurrogate(std::uint32_t unit)
{
    return unit >= kHighSurrogateFirst && unit < kLowSurrogateFirst;
}

bool IsLowSurrogate(std::uint32_t unit)
{
    return unit >= kLowSurrogateFirst && unit <= kSurrogateLast;
}

// The code point starting at `i`, moving `i` past it; nullopt for an unpaired surrogate.
std::optional<std::uint32_t> NextCodePoint(WideStringView text, std::size_t& i)
{
    const std::uint32_t unit = Unit(text[i++]);
    if (IsLowSurrogate(unit)) {
        return std::nullopt;
    }
    if (!IsHighSurrogate(unit)) {
        return unit;
    }
    if (i == text.size() || !IsLowSurrogate(Unit(text[i]))) {
        return std::nullopt;
    }
    const std::uint32_t low = Unit(text[i++]);
    return 0x10000 + ((unit - kHighSurrogateFirst) << 10) + (low - kLowSurrogateFirst);
}

void AppendUtf8(std::string& out, std::uint32_t code)
{
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

void AppendUtf16(WideString& out, std::uint32_t code)
{
    if (code < 0x10000) {
        out += static_cast<WCHAR>(code);
        return;
    }
    code -= 0x10000;
    out += static_cast<WCHAR>(kHighSurrogateFirst + (code >> 10));
    out += static_cast<WCHAR>(kLowSurrogateFirst + (code & 0x3FF));
}

bool IsScalarValue(std::uint32_t code)
{
    return code < 0x110000 && (code < kHighSurrogateFirst || code > kSurrogateLast);
}

}  // namespace

bool IsWellFormedUtf16(WideStringView text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        if (!NextCodePoint(text, i)) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> ToUtf8(WideStringView text)
{
    std::string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto code = NextCodePoint(text, i);
        if (!code) {
            return std::nullopt;
        }
        AppendUtf8(out, *code);
    }
    return out;
}

std::optional<WideString> FromUtf8(std::string_view text)
{
    WideString out;
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
        if (extra >= text.size() - i) {  // sequence cut short by the end of the text
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
        AppendUtf16(out, code);
        i += extra + 1;
    }
    return out;
}

WideString WidenAscii(std::string_view text)
{
    WideString out;
    out.reserve(text.size());
    for (char c : text) {
        out += static_cast<WCHAR>(static_cast<unsigned char>(c));
    }
    return out;
}

void PrintTo(WideStringView text, std::ostream* out)
{
    std::string shown = "L\"";
    std::size_t i = 0;
    while (i < text.size()) {
        const std::size_t start = i;
        if (auto code = NextCodePoint(text, i)) {
            AppendUtf8(shown, *code);
            continue;
        }
        i = start + 1;
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(Unit(text[start])));
        shown += escape;
    }
    *out << shown << '"';
}

void PrintTo(const WideString& text, std::ostream* out)
{
    PrintTo(WideStringView(text), out);
}

}  // namespace rtl
