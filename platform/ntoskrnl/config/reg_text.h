// The hive's text form: the registry export format, version 5.00 (platform-internal).
//
// The file is written in UTF-8 without a byte-order mark and with LF line ends (the export tool
// of the platform writes UTF-16 and CRLF); the reader accepts a UTF-8 byte-order mark and CRLF.
// Layout:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SYSTEM\Example]
//   @="default value"
//   "Count"=dword:0000000b
//   "Path"="C:\\Program Files\\\"quoted\""
//   "Blob"=hex:01,02,03
//   "Other"=hex(b):01,00,00,00,00,00,00,00
//
// \Registry\Machine is HKEY_LOCAL_MACHINE and \Registry\User is HKEY_USERS. Every key has a
// section, parents before children, subkeys in case-insensitive name order; volatile keys are
// left out. REG_SZ data is written as a quoted string when it is one terminated string without
// line breaks, REG_DWORD data of 4 bytes as dword:, REG_BINARY as hex:, everything else as
// hex(type): with the type in hexadecimal. Hex bytes are the stored data exactly; string data
// (hex(1), hex(2), hex(7)) therefore appears as UTF-16LE, two bytes per WCHAR, as in the
// platform's own exports. Long hex data continues on the next line after a trailing backslash,
// indented by two spaces. Lines starting with ';' are comments. Key deletions ("[-...]") and
// value deletions ("=-") are refused.
//
// Files from builds whose WCHAR was 4 bytes: quoted strings and dword: data read the same. Their
// hex string data was in 4-byte units, and is read as the bytes it is (no conversion); the only
// string value the programs themselves store is the PnP manager's "Driver" (a class key path),
// which is always written quoted, so such data comes only from files made by hand or by tests.
//
// A file cut short: the writer ends every line, and every key section with an empty line. A
// last line without its line end is refused (cut inside a line, a value may still parse as a
// different one). A file that ends after a whole line is read, even inside a key section: the
// format lets a hand-written file end after its last value, so a file cut exactly at a line end
// cannot be told from one, and the values it lost are simply missing.
#pragma once

#include "config/hive.h"

#include <string>
#include <string_view>

namespace cm {

extern const char kRegTextHeader[];

std::string WriteRegText(const Hive& hive);

struct ReadError {
    unsigned line = 0;  // 1-based
    std::string what;
};

// Adds the keys and values of `text` to `hive`. On a malformed line, returns false with the
// line and the fault; `hive` then holds what was read before it.
bool ReadRegText(std::string_view text, Hive& hive, ReadError& error);

}  // namespace cm
