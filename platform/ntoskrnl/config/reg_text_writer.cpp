// Writing the hive in the registry export format.
#include "config/names.h"
#include "config/reg_text.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

namespace cm {

const char kRegTextHeader[] = "Windows Registry Editor Version 5.00";

namespace {

// Hex data lines are wrapped once they reach this many columns, as the export tool does.
constexpr std::size_t kWrapColumn = 77;

std::string Utf8(rtl::WideStringView text)
{
    // Names are checked to be storable when they enter the hive; this cannot fail for them.
    return rtl::ToUtf8(text).value_or(std::string());
}

std::string Quoted(rtl::WideStringView text)
{
    std::string out = "\"";
    for (char c : Utf8(text)) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

// The string held by REG_SZ data, when the data is exactly one terminated string the quoted
// form can carry.
std::optional<rtl::WideString> SingleString(const std::vector<UCHAR>& data)
{
    if (data.size() < sizeof(WCHAR) || data.size() % sizeof(WCHAR) != 0) {
        return std::nullopt;
    }
    rtl::WideString text(data.size() / sizeof(WCHAR), L'\0');
    std::memcpy(text.data(), data.data(), data.size());
    if (text.back() != L'\0') {
        return std::nullopt;
    }
    text.pop_back();
    if (!IsStorableName(text)) {
        return std::nullopt;
    }
    return text;
}

std::string HexData(std::string line, const std::vector<UCHAR>& data)
{
    std::string out;
    for (std::size_t i = 0; i < data.size(); ++i) {
        char byte[3];
        std::snprintf(byte, sizeof byte, "%02x", data[i]);
        line += byte;
        if (i + 1 < data.size()) {
            line += ',';
            if (line.size() >= kWrapColumn) {
                out += line + "\\\n";
                line = "  ";
            }
        }
    }
    return out + line + "\n";
}

std::string ValueLine(const Value& value)
{
    std::string line = value.name.empty() ? "@" : Quoted(value.name);
    line += '=';
    if (value.type == REG_SZ) {
        if (auto text = SingleString(value.data)) {
            return line + Quoted(*text) + "\n";
        }
    }
    if (value.type == REG_DWORD && value.data.size() == sizeof(std::uint32_t)) {
        const std::uint32_t number = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                                     (static_cast<std::uint32_t>(value.data[3]) << 24);
        char text[16];
        std::snprintf(text, sizeof text, "dword:%08x\n", number);
        return line + text;
    }
    if (value.type == REG_BINARY) {
        return HexData(line + "hex:", value.data);
    }
    char prefix[24];
    std::snprintf(prefix, sizeof prefix, "hex(%x):", static_cast<unsigned>(value.type));
    return HexData(line + prefix, value.data);
}

void WriteKey(std::string& out, const KeyNode& key, const std::string& path, bool isRoot)
{
    if (key.isVolatile) {
        return;
    }
    if (!isRoot || !key.values.empty()) {
        out += "[" + path + "]\n";
        for (const Value& value : key.values) {
            out += ValueLine(value);
        }
        out += "\n";
    }
    for (const auto& [folded, subkey] : key.subkeys) {
        WriteKey(out, *subkey, path + "\\" + Utf8(subkey->name), false);
    }
}

}  // namespace

std::string WriteRegText(const Hive& hive)
{
    std::string out = std::string(kRegTextHeader) + "\n\n";
    WriteKey(out, *hive.Machine(), "HKEY_LOCAL_MACHINE", true);
    WriteKey(out, *hive.User(), "HKEY_USERS", true);
    return out;
}

}  // namespace cm
