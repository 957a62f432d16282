// A small reader for setup information (INF) files: sections, `key = value` and value-only
// lines, comma-separated fields with quoted strings, comments, line continuations and
// %strkey% tokens from the [Strings] section. Malformed text is refused with the line number.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace inf {

struct Line {
    int number = 0;                   // the first physical line of the (continued) line
    std::string key;                  // before '='; empty for a value-only line
    std::vector<std::string> values;  // the fields, trimmed, quotes removed, tokens kept
};

struct Section {
    std::string name;
    int number = 0;  // line of the first header (a repeated header adds to the same section)
    std::vector<Line> lines;

    // Every line whose key is `key` (case-insensitive).
    std::vector<const Line*> Entries(std::string_view key) const;
};

class File {
public:
    // Reads the text; on malformed text returns false with "line N: what is wrong" in `error`.
    static bool Parse(std::string_view text, File& file, std::string& error);

    const std::vector<Section>& Sections() const { return sections_; }
    // Section names are case-insensitive.
    const Section* Find(std::string_view name) const;

    // The [Strings] value of a token name, without the percent signs.
    std::optional<std::string> String(std::string_view token) const;
    // The text with every %strkey% replaced by its [Strings] value. Numeric tokens (directory
    // ids such as %12%) and %% stay as written. The first unknown token name is reported in
    // `unknown`, and the result is then incomplete.
    std::string Expand(std::string_view text, std::string* unknown = nullptr) const;

private:
    std::vector<Section> sections_;
};

// The token names (without percent signs) that `text` refers to, numeric ones included.
std::vector<std::string> Tokens(std::string_view text);

bool SameText(std::string_view a, std::string_view b);  // ASCII case-insensitive

}  // namespace inf
