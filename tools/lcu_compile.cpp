// The catalogue compiler's parser and writer.
#include "lcu_compile.h"

#include <algorithm>
#include <charconv>
#include <map>

namespace lcu {
namespace {

constexpr uint32_t kMaxNumber = 2147483647;
constexpr std::size_t kPageSize = 768;
constexpr std::size_t kEntriesPerPage = 64;

struct Failure {
    std::string text;
};

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

void append_code_point(std::u16string &out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
}

// Decodes one strict UTF-8 character at s[i], advancing i.
char32_t decode(std::string_view s, std::size_t &i) {
    const auto b = static_cast<unsigned char>(s[i]);
    static constexpr struct {
        unsigned char mask, lead;
        int extra;
        char32_t min;
    } kForms[] = {{0x80, 0x00, 0, 0},
                  {0xE0, 0xC0, 1, 0x80},
                  {0xF0, 0xE0, 2, 0x800},
                  {0xF8, 0xF0, 3, 0x10000}};
    for (const auto &f : kForms) {
        if ((b & f.mask) != f.lead) continue;
        char32_t c = b & static_cast<unsigned char>(~f.mask);
        if (s.size() - i <= static_cast<std::size_t>(f.extra)) break;  // cut short
        for (int k = 1; k <= f.extra; ++k) {
            const auto n = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
            if ((n & 0xC0) != 0x80) throw Failure{"invalid UTF-8 sequence"};
            c = c << 6 | (n & 0x3Fu);
        }
        if (c < f.min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) break;
        i += static_cast<std::size_t>(f.extra) + 1;
        return c;
    }
    throw Failure{"invalid UTF-8 sequence"};
}

char32_t parse_hex(std::string_view s, std::size_t &i, std::size_t digits) {
    uint32_t v = 0;
    if (i + digits > s.size() ||
        std::from_chars(s.data() + i, s.data() + i + digits, v, 16).ptr != s.data() + i + digits ||
        v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF) || v == 0) {
        throw Failure{"invalid \\u or \\U escape"};
    }
    i += digits;
    return v;
}

char32_t parse_escape(std::string_view s, std::size_t &i) {
    const char e = i < s.size() ? s[i++] : '\0';
    switch (e) {
        case 'n':
            return U'\n';
        case 't':
            return U'\t';
        case 's':
            return U' ';
        case '\\':
            return U'\\';
        case 'u':
            return parse_hex(s, i, 4);
        case 'U':
            return parse_hex(s, i, 8);
        default:
            throw Failure{"unknown escape (use \\n, \\t, \\s, \\\\, \\uXXXX or \\UXXXXXXXX)"};
    }
}

std::u16string parse_text(std::string_view s) {
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    std::u16string text;
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] == '\\') {
            ++i;
            append_code_point(text, parse_escape(s, i));
        } else {
            append_code_point(text, decode(s, i));
        }
    }
    if (text.empty()) throw Failure{"the message has no text"};
    if (text.size() > kMaxText) {
        throw Failure{"the text is longer than " + std::to_string(kMaxText) + " UTF-16 units"};
    }
    return text;
}

uint32_t parse_number(std::string_view &s) {
    std::size_t digits = 0;
    while (digits < s.size() && s[digits] >= '0' && s[digits] <= '9') ++digits;
    if (digits == 0) throw Failure{"expected a message number at the start of the line"};
    uint64_t v = 0;
    const auto r = std::from_chars(s.data(), s.data() + digits, v);
    if (r.ec != std::errc() || v < 1 || v > kMaxNumber) {
        throw Failure{"message number out of range (1 to 2147483647)"};
    }
    s.remove_prefix(digits);
    if (s.empty() || !is_blank(s.front())) throw Failure{"expected a space after the number"};
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    return static_cast<uint32_t>(v);
}

void put16(std::string &out, std::size_t at, uint32_t v) {
    out[at] = static_cast<char>(v >> 8 & 0xFF);
    out[at + 1] = static_cast<char>(v & 0xFF);
}
void put32(std::string &out, std::size_t at, uint32_t v) {
    put16(out, at, v >> 16);
    put16(out, at + 2, v & 0xFFFF);
}
void append16(std::string &out, uint32_t v) {
    out.push_back(static_cast<char>(v >> 8 & 0xFF));
    out.push_back(static_cast<char>(v & 0xFF));
}
void append_text(std::string &out, std::u16string_view s) {
    for (char16_t c : s) append16(out, c);
    append16(out, 0);
}

std::u16string key_text(uint32_t number) {
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    std::u16string key(8, u'0');
    for (int i = 7; i >= 0; --i, number >>= 4) key[static_cast<std::size_t>(i)] = kHex[number & 15];
    return key;
}

}  // namespace

bool parse_source(std::string_view source, std::vector<Message> &messages, std::string &error) {
    if (source.starts_with("\xEF\xBB\xBF")) source.remove_prefix(3);
    std::map<uint32_t, int> seen;
    int line = 0;
    while (!source.empty()) {
        ++line;
        const std::size_t end = std::min(source.find('\n'), source.size());
        std::string_view s = source.substr(0, end);
        source.remove_prefix(std::min(end + 1, source.size()));
        if (s.ends_with('\r')) s.remove_suffix(1);
        std::size_t lead = 0;
        while (lead < s.size() && is_blank(s[lead])) ++lead;
        if (lead == s.size() || s[lead] == '#') continue;
        try {
            s.remove_prefix(lead);
            const uint32_t number = parse_number(s);
            if (auto [it, added] = seen.emplace(number, line); !added) {
                throw Failure{"duplicate message number " + std::to_string(number) +
                              " (first on line " + std::to_string(it->second) + ")"};
            }
            messages.push_back({number, parse_text(s), line});
            if (messages.size() > kMaxMessages) throw Failure{"more than 65535 messages"};
        } catch (const Failure &f) {
            error = "line " + std::to_string(line) + ": " + f.text;
            return false;
        }
    }
    return true;
}

std::string build_catalogue(std::vector<Message> messages, std::u16string_view name) {
    std::sort(messages.begin(), messages.end(),
              [](const Message &a, const Message &b) { return a.number < b.number; });
    const std::size_t count = messages.size();
    const std::size_t pages = (count + kEntriesPerPage - 1) / kEntriesPerPage;
    std::string entries(pages * kPageSize, '\0');
    std::string strings;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = (i / kEntriesPerPage) * kPageSize + (i % kEntriesPerPage) * 12;
        put32(entries, at, static_cast<uint32_t>(strings.size()));
        put16(entries, at + 4, 8);
        put16(entries, at + 6, static_cast<uint32_t>(messages[i].text.size()));
        entries[at + 10] = static_cast<char>(i % kEntriesPerPage);
        entries[at + 11] = 1;
        append_text(strings, key_text(messages[i].number));
        append_text(strings, messages[i].text);
    }
    std::string names;
    append16(names, 1);
    append16(names, static_cast<uint32_t>(name.size()));
    append_text(names, name);

    std::string out(128, '\0');
    out.replace(0, 4, "LOCF");
    put16(out, 4, 1);
    put16(out, 6, 0xFEFF);
    put16(out, 96, static_cast<uint32_t>(count));
    put16(out, 98, static_cast<uint32_t>(pages));
    const auto pages_end = static_cast<uint32_t>(entries.size());
    const auto names_end = static_cast<uint32_t>(pages_end + names.size());
    put32(out, 100, pages_end);
    put32(out, 104, names_end);
    put32(out, 108,
          strings.empty() ? names_end : static_cast<uint32_t>(names_end + strings.size() - 1));
    return out + entries + names + strings;
}

}  // namespace lcu
