#include "inf_file.h"

#include <cctype>

namespace inf {

namespace {

std::string_view Trim(std::string_view text)
{
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

std::string Problem(int line, const std::string& what)
{
    return "line " + std::to_string(line) + ": " + what;
}

// The line without its comment; false for a quoted string that does not end on the line.
bool StripComment(std::string_view line, std::string_view& content)
{
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            quoted = !quoted;
        } else if (line[i] == ';' && !quoted) {
            content = line.substr(0, i);
            return true;
        }
    }
    content = line;
    return !quoted;
}

// One field: surrounding blanks trimmed, quotes removed ("" inside quotes is one quote).
std::string Unquote(std::string_view field)
{
    field = Trim(field);
    std::string out;
    bool quoted = false;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '"') {
            if (quoted && i + 1 < field.size() && field[i + 1] == '"') {
                out += '"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else {
            out += field[i];
        }
    }
    return out;
}

// Splits at the separator where it is outside quotes.
std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator,
                                                 std::size_t limit = 0)
{
    std::vector<std::string_view> parts;
    bool quoted = false;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') {
            quoted = !quoted;
        } else if (text[i] == separator && !quoted && (limit == 0 || parts.size() + 1 < limit)) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

bool BalancedTokens(std::string_view text)
{
    std::size_t at = 0;
    while ((at = text.find('%', at)) != std::string_view::npos) {
        std::size_t end = text.find('%', at + 1);
        if (end == std::string_view::npos) {
            return false;
        }
        at = end + 1;
    }
    return true;
}

bool Numeric(std::string_view token)
{
    if (token.empty()) {
        return false;
    }
    for (char c : token) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool SameText(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::vector<std::string> Tokens(std::string_view text)
{
    std::vector<std::string> tokens;
    std::size_t at = 0;
    while ((at = text.find('%', at)) != std::string_view::npos) {
        std::size_t end = text.find('%', at + 1);
        if (end == std::string_view::npos) {
            break;
        }
        if (end > at + 1) {
            tokens.emplace_back(text.substr(at + 1, end - at - 1));
        }
        at = end + 1;
    }
    return tokens;
}

std::vector<const Line*> Section::Entries(std::string_view key) const
{
    std::vector<const Line*> found;
    for (const Line& line : lines) {
        if (SameText(line.key, key)) {
            found.push_back(&line);
        }
    }
    return found;
}

bool File::Parse(std::string_view text, File& file, std::string& error)
{
    file.sections_.clear();
    Section* current = nullptr;
    int number = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        // One logical line: physical lines joined while one ends with a backslash.
        int first = number + 1;
        std::string logical;
        bool continued = true;
        while (continued) {
            if (at >= text.size()) {
                error = Problem(number, "line continuation at the end of the file");
                return false;
            }
            std::size_t end = text.find('\n', at);
            std::string_view physical =
                text.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
            at = end == std::string_view::npos ? text.size() : end + 1;
            ++number;
            if (!physical.empty() && physical.back() == '\r') {
                physical.remove_suffix(1);
            }
            std::string_view content;
            if (!StripComment(physical, content)) {
                error = Problem(number, "quoted string without its closing quote");
                return false;
            }
            content = Trim(content);
            continued = !content.empty() && content.back() == '\\';
            if (continued) {
                content.remove_suffix(1);
            }
            logical += content;
        }
        std::string_view line = Trim(logical);
        if (line.empty()) {
            continue;
        }

        if (line.front() == '[') {
            std::size_t close = line.find(']');
            if (close == std::string_view::npos) {
                error = Problem(first, "section header without ']'");
                return false;
            }
            if (!Trim(line.substr(close + 1)).empty()) {
                error = Problem(first, "text after the section header");
                return false;
            }
            std::string name(Trim(line.substr(1, close - 1)));
            if (name.empty()) {
                error = Problem(first, "section header without a name");
                return false;
            }
            current = nullptr;
            for (Section& section : file.sections_) {
                if (SameText(section.name, name)) {
                    current = &section;
                }
            }
            if (current == nullptr) {
                file.sections_.push_back(Section{name, first, {}});
                current = &file.sections_.back();
            }
            continue;
        }
        if (current == nullptr) {
            error = Problem(first, "entry before the first section header");
            return false;
        }
        if (!BalancedTokens(line)) {
            error = Problem(first, "'%' without its closing '%'");
            return false;
        }

        Line entry;
        entry.number = first;
        std::vector<std::string_view> sides = SplitOutsideQuotes(line, '=', 2);
        std::string_view values = line;
        if (sides.size() == 2) {
            entry.key = Unquote(sides[0]);
            if (entry.key.empty()) {
                error = Problem(first, "'=' without a key");
                return false;
            }
            values = sides[1];
        }
        for (std::string_view field : SplitOutsideQuotes(values, ',')) {
            entry.values.push_back(Unquote(field));
        }
        current->lines.push_back(std::move(entry));
    }
    return true;
}

const Section* File::Find(std::string_view name) const
{
    for (const Section& section : sections_) {
        if (SameText(section.name, name)) {
            return &section;
        }
    }
    return nullptr;
}

std::optional<std::string> File::String(std::string_view token) const
{
    const Section* strings = Find("Strings");
    if (strings == nullptr) {
        return std::nullopt;
    }
    for (const Line& line : strings->lines) {
        if (SameText(line.key, token) && line.values.size() == 1) {
            return line.values[0];
        }
    }
    return std::nullopt;
}

std::string File::Expand(std::string_view text, std::string* unknown) const
{
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t open = text.find('%', at);
        std::size_t close = open == std::string_view::npos ? open : text.find('%', open + 1);
        if (close == std::string_view::npos) {
            out += text.substr(at);
            break;
        }
        out += text.substr(at, open - at);
        std::string_view token = text.substr(open + 1, close - open - 1);
        std::optional<std::string> value;
        if (!token.empty() && !Numeric(token)) {
            value = String(token);
        }
        if (value) {
            out += *value;
        } else {
            out += text.substr(open, close - open + 1);
            if (!token.empty() && !Numeric(token) && unknown != nullptr && unknown->empty()) {
                *unknown = std::string(token);
            }
        }
        at = close + 1;
    }
    return out;
}

}  // namespace inf
