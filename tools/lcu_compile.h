// The catalogue compiler: message source text in, catalogue file bytes out.
//
// Source format (UTF-8, one message per line):
//
//   # a comment; blank lines are ignored too
//   131229  Failed to allocate %1 bytes.
//   131230  First line\nsecond line
//
// A line is a decimal message number (1 to 2147483647), one or more spaces
// or tabs, and the text up to the end of the line; trailing spaces and tabs
// are dropped. Placeholders %1..%9 take the message's values in order, "%%"
// is a percent sign. Escapes: \n line break, \t tab, \s space (for a leading
// or trailing one), \\ backslash, \uXXXX and \U00XXXXXX a character.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lcu {

struct Message {
    uint32_t number;
    std::u16string text;
    int line;
};

// Longest text a message may have, in UTF-16 units: what a lookup into an
// 8192-unit buffer can return with its terminator.
inline constexpr std::size_t kMaxText = 8191;
inline constexpr std::size_t kMaxMessages = 65535;

// Parses a source; on failure returns false and sets error to
// "line N: what is wrong".
bool parse_source(std::string_view source, std::vector<Message> &messages, std::string &error);

// The catalogue file for the messages, sorted by number. name goes into the
// file's name section.
std::string build_catalogue(std::vector<Message> messages, std::u16string_view name);

}  // namespace lcu
