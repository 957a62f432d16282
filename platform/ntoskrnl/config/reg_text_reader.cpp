// Reading the hive from the registry export format.
#include "config/names.h"
#include "config/reg_text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace cm {

namespace {

struct Line {
    unsigned number;
    rtl::WideString text;
};

class Fault {
public:
    Fault(unsigned line, std::string what) : line_(line), what_(std::move(what)) {}
    ReadError Error() const { return ReadError{line_, what_}; }

private:
    unsigned line_;
    std::string what_;
};

bool IsBlank(WCHAR c)
{
    return c == L' ' || c == L'\t';
}

rtl::WideStringView Trim(rtl::WideStringView text)
{
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Shown(rtl::WideStringView text)
{
    constexpr std::size_t kShown = 40;
    std::size_t cut = std::min(text.size(), kShown);
    if (cut < text.size() && cut > 0 && text[cut - 1] >= 0xD800 && text[cut - 1] < 0xDC00) {
        --cut;  // keep a surrogate pair whole
    }
    std::string shown = rtl::ToUtf8(text.substr(0, cut)).value_or("?");
    return text.size() > kShown ? shown + "..." : shown;
}

int HexDigit(WCHAR c)
{
    if (c >= L'0' && c <= L'9') {
        return c - L'0';
    }
    if (c >= L'a' && c <= L'f') {
        return c - L'a' + 10;
    }
    if (c >= L'A' && c <= L'F') {
        return c - L'A' + 10;
    }
    return -1;
}

// 1 to `maxDigits` hex digits, nothing else.
std::optional<std::uint32_t> HexNumber(rtl::WideStringView text, std::size_t maxDigits)
{
    if (text.empty() || text.size() > maxDigits) {
        return std::nullopt;
    }
    std::uint32_t number = 0;
    for (WCHAR c : text) {
        const int digit = HexDigit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        number = number << 4 | static_cast<std::uint32_t>(digit);
    }
    return number;
}

bool StartsWithNoCase(rtl::WideStringView text, rtl::WideStringView prefix)
{
    return text.size() >= prefix.size() && NamesEqual(text.substr(0, prefix.size()), prefix);
}

std::vector<UCHAR> Bytes(const void* data, std::size_t size)
{
    const auto* bytes = static_cast<const UCHAR*>(data);
    return std::vector<UCHAR>(bytes, bytes + size);
}

// Splits the text into lines, decoded from UTF-8, without their line ends.
std::vector<Line> SplitLines(std::string_view text)
{
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
        text.remove_prefix(kByteOrderMark.size());
    }
    std::vector<Line> lines;
    unsigned number = 0;
    while (!text.empty()) {
        ++number;
        std::size_t end = text.find('\n');
        std::string_view raw = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        // Every line of a whole file ends with a line end. Without one, the file was cut in
        // the middle of its last line, which may still read as something else (dword:1e0 cut
        // to dword:1e, a hex list cut after a byte): the file is refused rather than misread.
        if (end == std::string_view::npos &&
            raw.find_first_not_of(" \t\r") != std::string_view::npos) {
            throw Fault(number, "the last line has no line end: the file was cut short, and "
                                "the line may be incomplete");
        }
        if (!raw.empty() && raw.back() == '\r') {
            raw.remove_suffix(1);
        }
        auto decoded = rtl::FromUtf8(raw);
        if (!decoded) {
            throw Fault(number, "the line is not valid UTF-8");
        }
        if (decoded->find(L'\0') != rtl::WideString::npos) {
            throw Fault(number, "the line contains a NUL character");
        }
        lines.push_back(Line{number, std::move(*decoded)});
    }
    return lines;
}

class Reader {
public:
    explicit Reader(Hive& hive) : hive_(hive) {}

    void Read(const std::vector<Line>& lines)
    {
        std::size_t i = 0;
        while (i < lines.size() && Trim(lines[i].text).empty()) {
            ++i;
        }
        if (i == lines.size()) {
            throw Fault(1, std::string("the file is empty; expected the header '") +
                               kRegTextHeader + "'");
        }
        ReadHeader(lines[i]);
        for (++i; i < lines.size(); ++i) {
            const unsigned number = lines[i].number;
            rtl::WideString text(Trim(lines[i].text));
            if (text.empty() || text.front() == L';') {
                continue;
            }
            if (text.front() == L'[') {
                ReadSection(number, text);
                continue;
            }
            if (text.front() != L'"' && text.front() != L'@') {
                throw Fault(number, "expected a key section '[...]', a value or a ';' comment, "
                                    "found '" +
                                        Shown(text) + "'");
            }
            // Hex data continues on the next line after a trailing backslash.
            while (!text.empty() && text.back() == L'\\') {
                text.pop_back();
                if (++i == lines.size()) {
                    throw Fault(number, "the value continues past the end of the file");
                }
                text += Trim(lines[i].text);
            }
            ReadValue(number, text);
        }
    }

private:
    void ReadHeader(const Line& line)
    {
        rtl::WideStringView text = Trim(line.text);
        auto header = rtl::ToUtf8(text).value_or("");
        if (header == kRegTextHeader) {
            return;
        }
        throw Fault(line.number, std::string("expected the header '") + kRegTextHeader +
                                     "', found '" + Shown(text) + "'");
    }

    void ReadSection(unsigned number, rtl::WideStringView text)
    {
        if (text.back() != L']') {
            throw Fault(number, "the key section has no closing ']'");
        }
        rtl::WideStringView path = text.substr(1, text.size() - 2);
        if (!path.empty() && path.front() == L'-') {
            throw Fault(number, "key deletions ('[-...]') are not allowed in a hive file");
        }
        const std::size_t slash = path.find(L'\\');
        const rtl::WideStringView root = path.substr(0, slash);
        std::shared_ptr<KeyNode> key;
        if (NamesEqual(root, L"HKEY_LOCAL_MACHINE")) {
            key = hive_.Machine();
        } else if (NamesEqual(root, L"HKEY_USERS")) {
            key = hive_.User();
        } else {
            throw Fault(number, "unknown root key '" + Shown(root) +
                                    "' (expected HKEY_LOCAL_MACHINE or HKEY_USERS)");
        }
        if (slash != rtl::WideStringView::npos) {
            auto components = SplitKeyPath(path.substr(slash + 1));
            if (!components || components->empty()) {
                throw Fault(number, "invalid key path '" + Shown(path) +
                                        "' (empty name, or a name longer than 255 characters)");
            }
            for (const rtl::WideString& component : *components) {
                bool created = false;
                key = key->AddSubkey(component, false, created);
            }
        }
        current_ = key;
    }

    // A quoted string starting at `pos`; moves `pos` past the closing quote.
    static rtl::WideString QuotedString(unsigned number, rtl::WideStringView text, std::size_t& pos)
    {
        rtl::WideString out;
        for (++pos; pos < text.size(); ++pos) {
            const WCHAR c = text[pos];
            if (c == L'"') {
                ++pos;
                return out;
            }
            if (c == L'\\') {
                if (++pos == text.size()) {
                    break;
                }
                if (text[pos] != L'\\' && text[pos] != L'"') {
                    throw Fault(number, "unknown escape '\\" + Shown(text.substr(pos, 1)) +
                                            "' (only \\\\ and \\\" are allowed)");
                }
            }
            out += text[pos];
        }
        throw Fault(number, "the quoted string has no closing quote");
    }

    static std::vector<UCHAR> HexBytes(unsigned number, rtl::WideStringView list)
    {
        std::vector<UCHAR> bytes;
        list = Trim(list);
        if (list.empty()) {
            return bytes;
        }
        while (true) {
            const std::size_t comma = list.find(L',');
            const rtl::WideStringView item = Trim(list.substr(0, comma));
            auto byte = item.size() == 2 ? HexNumber(item, 2) : std::nullopt;
            if (!byte) {
                throw Fault(number,
                            "bad byte '" + Shown(item) + "' in hex data (expected two hex digits)");
            }
            bytes.push_back(static_cast<UCHAR>(*byte));
            if (comma == rtl::WideStringView::npos) {
                return bytes;
            }
            list.remove_prefix(comma + 1);
        }
    }

    void ReadValue(unsigned number, rtl::WideStringView text)
    {
        if (current_ == nullptr) {
            throw Fault(number, "a value before the first key section");
        }
        std::size_t pos = 0;
        rtl::WideString name;
        if (text.front() == L'@') {
            pos = 1;
        } else {
            name = QuotedString(number, text, pos);
            if (name.size() > kMaxValueNameLength) {
                throw Fault(number, "the value name is longer than 16383 characters");
            }
        }
        rtl::WideStringView rest = Trim(text.substr(pos));
        if (rest.empty() || rest.front() != L'=') {
            throw Fault(number, "expected '=' after the value name");
        }
        rest = Trim(rest.substr(1));
        ULONG type;
        std::vector<UCHAR> data;
        if (!rest.empty() && rest.front() == L'"') {
            pos = 0;
            rtl::WideString string = QuotedString(number, rest, pos);
            if (!Trim(rest.substr(pos)).empty()) {
                throw Fault(number, "unexpected text after the closing quote of the data");
            }
            type = REG_SZ;
            data = Bytes(string.c_str(), (string.size() + 1) * sizeof(WCHAR));
        } else if (StartsWithNoCase(rest, L"dword:")) {
            auto number32 = HexNumber(Trim(rest.substr(6)), 8);
            if (!number32) {
                throw Fault(number,
                            "bad dword data '" + Shown(rest) + "' (expected 1 to 8 hex digits)");
            }
            type = REG_DWORD;
            const UCHAR bytes[4] = {
                static_cast<UCHAR>(*number32), static_cast<UCHAR>(*number32 >> 8),
                static_cast<UCHAR>(*number32 >> 16), static_cast<UCHAR>(*number32 >> 24)};
            data = Bytes(bytes, sizeof bytes);
        } else if (StartsWithNoCase(rest, L"hex:")) {
            type = REG_BINARY;
            data = HexBytes(number, rest.substr(4));
        } else if (StartsWithNoCase(rest, L"hex(")) {
            const std::size_t close = rest.find(L"):");
            auto typeNumber = close == rtl::WideStringView::npos
                                  ? std::nullopt
                                  : HexNumber(rest.substr(4, close - 4), 8);
            if (!typeNumber) {
                throw Fault(number, "bad value type in '" + Shown(rest) +
                                        "' (expected hex(N): with N in hex digits)");
            }
            type = *typeNumber;
            data = HexBytes(number, rest.substr(close + 2));
        } else if (rest == L"-") {
            throw Fault(number, "value deletions ('=-') are not allowed in a hive file");
        } else {
            throw Fault(number, "unknown value data '" + Shown(rest) +
                                    "' (expected \"text\", dword:, hex: or hex(N):)");
        }
        current_->SetValue(name, type, std::move(data));
    }

    Hive& hive_;
    std::shared_ptr<KeyNode> current_;
};

}  // namespace

bool ReadRegText(std::string_view text, Hive& hive, ReadError& error)
{
    try {
        Reader(hive).Read(SplitLines(text));
        return true;
    } catch (const Fault& fault) {
        error = fault.Error();
        return false;
    }
}

}  // namespace cm
