// Upper-casing of wide characters for case-insensitive comparisons (platform-internal).
#pragma once

#include <wdm.h>

namespace rtl {

// Simple upper-case mapping for ASCII, Latin-1, Greek and Cyrillic letters; every other
// character maps to itself. Independent of the host locale, so comparisons give the same
// answer in every program.
WCHAR UpcaseChar(WCHAR c);

}  // namespace rtl
