// Upper-casing of wide characters.
#include "rtl/upcase.h"

#include <cstdint>

namespace rtl {

WCHAR UpcaseChar(WCHAR c)
{
    const auto code = static_cast<std::uint32_t>(c);
    if (code >= 'a' && code <= 'z') {
        return static_cast<WCHAR>(code - 0x20);
    }
    if (code < 0xE0) {
        return c;
    }
    if (code <= 0xFE) {  // Latin-1 small letters, except the division sign
        return code == 0xF7 ? c : static_cast<WCHAR>(code - 0x20);
    }
    if (code == 0xFF) {  // y with diaeresis
        return static_cast<WCHAR>(0x178);
    }
    if (code >= 0x3B1 && code <= 0x3C9 && code != 0x3C2) {  // Greek, final sigma stays
        return static_cast<WCHAR>(code - 0x20);
    }
    if (code >= 0x430 && code <= 0x44F) {  // Cyrillic а..я
        return static_cast<WCHAR>(code - 0x20);
    }
    if (code >= 0x450 && code <= 0x45F) {  // Cyrillic ѐ..џ
        return static_cast<WCHAR>(code - 0x50);
    }
    return c;
}

}  // namespace rtl
