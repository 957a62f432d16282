// Strings of WCHAR for host code: the platform stand-in, tools, tests.
//
// WCHAR is a 16-bit UTF-16 code unit, as on the platform; the project is compiled with a 16-bit
// wchar_t so that L"..." literals are WCHAR strings. The host's C and C++ libraries were built
// with a 32-bit wchar_t, so none of their wide-character code may see these strings:
// std::wstring and std::wstring_view (their character traits call wcslen, wmemcpy, wmemcmp, and
// the string class is partly compiled into the library), wcslen, swprintf, towupper,
// std::to_wstring, wide streams, and the test framework's wide-string printing and comparisons.
// WideString and WideStringView take their place; their traits touch the characters only
// through this header. Formatting goes through narrow text and WidenAscii or FromUtf8.
#pragma once

#include <ntdef.h>

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

static_assert(sizeof(wchar_t) == sizeof(WCHAR) && sizeof(WCHAR) == 2,
              "the project is built with a 16-bit wchar_t (-fshort-wchar)");

namespace rtl {

// Character traits for WCHAR that do not call the C library's wide-character functions.
struct WideCharTraits {
    using char_type = WCHAR;
    using int_type = std::uint32_t;
    using off_type = std::streamoff;
    using pos_type = std::streampos;
    using state_type = std::mbstate_t;
    using comparison_category = std::strong_ordering;

    static constexpr void assign(char_type& to, const char_type& from) noexcept { to = from; }
    static constexpr bool eq(char_type a, char_type b) noexcept { return a == b; }
    static constexpr bool lt(char_type a, char_type b) noexcept
    {
        return static_cast<std::uint16_t>(a) < static_cast<std::uint16_t>(b);
    }

    static constexpr int compare(const char_type* a, const char_type* b, std::size_t count) noexcept
    {
        for (std::size_t i = 0; i < count; ++i) {
            if (lt(a[i], b[i])) {
                return -1;
            }
            if (lt(b[i], a[i])) {
                return 1;
            }
        }
        return 0;
    }

    static constexpr std::size_t length(const char_type* text) noexcept
    {
        std::size_t count = 0;
        while (text[count] != char_type()) {
            ++count;
        }
        return count;
    }

    static constexpr const char_type* find(const char_type* text, std::size_t count,
                                           const char_type& wanted) noexcept
    {
        for (std::size_t i = 0; i < count; ++i) {
            if (text[i] == wanted) {
                return text + i;
            }
        }
        return nullptr;
    }

    static constexpr char_type* move(char_type* to, const char_type* from,
                                     std::size_t count) noexcept
    {
        if (count == 0) {
            return to;
        }
        if (std::is_constant_evaluated()) {
            // Constant evaluation cannot compare unrelated pointers; copy through a buffer
            // would need allocation, so go forwards or backwards by walking from `from`.
            bool fromBefore = false;
            for (const char_type* p = from; p != from + count; ++p) {
                if (p == to) {
                    fromBefore = true;
                }
            }
            if (fromBefore) {
                for (std::size_t i = count; i > 0; --i) {
                    to[i - 1] = from[i - 1];
                }
            } else {
                for (std::size_t i = 0; i < count; ++i) {
                    to[i] = from[i];
                }
            }
            return to;
        }
        std::memmove(to, from, count * sizeof(char_type));
        return to;
    }

    // GCC 12, inlining the string's move constructor, cannot see that a string held in its
    // own small buffer is short, and warns that this copy could run past that buffer.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#pragma GCC diagnostic ignored "-Wstringop-overflow"
#endif
    static constexpr char_type* copy(char_type* to, const char_type* from,
                                     std::size_t count) noexcept
    {
        if (std::is_constant_evaluated()) {
            for (std::size_t i = 0; i < count; ++i) {
                to[i] = from[i];
            }
            return to;
        }
        if (count != 0) {
            std::memcpy(to, from, count * sizeof(char_type));
        }
        return to;
    }
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

    static constexpr char_type* assign(char_type* to, std::size_t count, char_type c) noexcept
    {
        for (std::size_t i = 0; i < count; ++i) {
            to[i] = c;
        }
        return to;
    }

    static constexpr char_type to_char_type(int_type c) noexcept
    {
        return static_cast<char_type>(c);
    }
    static constexpr int_type to_int_type(char_type c) noexcept
    {
        return static_cast<std::uint16_t>(c);
    }
    static constexpr bool eq_int_type(int_type a, int_type b) noexcept
    {
        return a == b;
    }
    static constexpr int_type eof() noexcept
    {
        return 0xFFFFFFFFu;
    }
    static constexpr int_type not_eof(int_type c) noexcept
    {
        return c == eof() ? 0 : c;
    }
};

using WideString = std::basic_string<WCHAR, WideCharTraits>;
using WideStringView = std::basic_string_view<WCHAR, WideCharTraits>;

// True for UTF-16 text whose surrogates all come in pairs (a high one followed by a low one).
bool IsWellFormedUtf16(WideStringView text);

// UTF-8 from UTF-16; nullopt when the text holds an unpaired surrogate.
std::optional<std::string> ToUtf8(WideStringView text);
// UTF-16 from UTF-8; nullopt for malformed sequences (overlong forms, surrogates, code points
// above U+10FFFF, sequences cut short). Characters outside the basic plane become pairs.
std::optional<WideString> FromUtf8(std::string_view text);

// Each byte of ASCII text as one WCHAR: numbers and identifiers formatted as narrow text.
WideString WidenAscii(std::string_view text);

// The test framework prints values through PrintTo found next to their types: these show the
// text as UTF-8 (unpaired surrogates as \uXXXX), so that failures never reach its own wide
// printing.
void PrintTo(const WideString& text, std::ostream* out);
void PrintTo(WideStringView text, std::ostream* out);

}  // namespace rtl
