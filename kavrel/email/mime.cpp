#include "mime.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "support/platform.h"

namespace kavrel {
namespace {

constexpr const char *kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kHex[] = "0123456789ABCDEF";
constexpr std::size_t kWordBytes = 42;    // text bytes of one encoded word: 56 characters
constexpr std::size_t kLongestWord = 64;  // a longer word cannot be folded: encode instead
constexpr std::size_t kQuotedLine = 75;   // quoted-printable text before a soft break

bool plain_text(std::string_view text) {
    std::size_t word = 0;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x7F || (c < ' ' && c != '\t')) return false;
        word = c == ' ' ? 0 : word + 1;
        if (word > kLongestWord) return false;
    }
    return true;
}

// The text as encoded words of whole characters, one to a line after the
// first; `used` is what the line already holds.
void encoded_words(MailOut &out, std::string_view text) {
    bool first = true;
    while (!text.empty()) {
        std::size_t n = text.size() < kWordBytes ? text.size() : kWordBytes;
        while (n < text.size() && n > 1 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) {
            --n;  // never split a character
        }
        char piece[kWordBytes];
        for (std::size_t i = 0; i < n; ++i) {
            piece[i] = text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
        }
        char word[2 * kWordBytes];
        mime_base64({piece, n}, word, sizeof word);
        out.put(first ? "=?UTF-8?B?" : "\n =?UTF-8?B?");
        out.put(word);
        out.put("?=");
        first = false;
        text.remove_prefix(n);
    }
}

// Plain words, folded before a word that would reach the fold.
void folded_words(MailOut &out, std::string_view text, std::size_t used) {
    bool first = true;
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view word = text.substr(0, space);
        text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
        if (!first && used + 1 + word.size() >= kFoldAt) {
            out.put("\n");
            used = 0;
        }
        if (!first) out.put(" ");
        out.put(word);
        used += word.size() + (first ? 0 : 1);
        first = false;
    }
}

void header_value(MailOut &out, std::string_view value, std::size_t used) {
    if (plain_text(value)) {
        folded_words(out, value, used);
    } else {
        encoded_words(out, value);
    }
}

void quoted_byte(MailOut &out, unsigned char c, std::size_t *line) {
    if (*line + 3 > kQuotedLine) {
        out.put("=\n");
        *line = 0;
    }
    const char code[3] = {'=', kHex[c >> 4], kHex[c & 15]};
    out.put({code, 3});
    *line += 3;
}

}  // namespace

void mime_date(std::time_t t, char *out, std::size_t size) {
    std::tm tm{};
    long offset = 0;
    if (t != static_cast<std::time_t>(-1) && plat_localtime(t, &tm)) {
        offset = plat_utc_offset(t, tm);
    } else {
        tm = std::tm{};
        tm.tm_mday = 1;
        tm.tm_year = 70;
        tm.tm_wday = 4;
    }
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    std::snprintf(out, size, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
                  kDays[(tm.tm_wday % 7 + 7) % 7], tm.tm_mday, kMonths[(tm.tm_mon % 12 + 12) % 12],
                  tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec, offset < 0 ? '-' : '+',
                  minutes / 60 % 100, minutes % 60);
}

void mime_message_id(std::time_t t, const char *host, char *out, std::size_t size) {
    static std::atomic<unsigned> counter{0};
    const int n = std::snprintf(out, size, "<%lld.%08lx.%08x@", static_cast<long long>(t),
                                static_cast<unsigned long>(plat_pid()), counter.fetch_add(1) + 1);
    if (n < 0 || static_cast<std::size_t>(n) >= size) return;
    std::size_t at = static_cast<std::size_t>(n);
    for (const char *p = host; *p != '\0' && at + 2 < size; ++p) {
        const bool ok = std::strchr(
                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                            "0123456789.-",
                            *p) != nullptr;
        out[at++] = ok ? *p : '-';
    }
    out[at++] = '>';
    out[at] = '\0';
}

std::string_view mime_address(std::string_view item) {
    const std::size_t open = item.rfind('<');
    if (open == std::string_view::npos || item.back() != '>') return item;
    return item.substr(open + 1, item.size() - open - 2);
}

void mime_header(MailOut &out, std::string_view name, std::string_view value) {
    out.put(name);
    out.put(": ");
    header_value(out, value, name.size() + 2);
    out.put("\n");
}

void mime_address_header(MailOut &out, std::string_view name, std::string_view list) {
    out.put(name);
    out.put(":");
    std::size_t used = name.size() + 1;
    bool first = true;
    mime_each_address(list, [&](std::string_view item) {
        const std::string_view address = mime_address(item);
        std::string_view display =
            item.substr(0, static_cast<std::size_t>(address.data() - item.data()));
        while (!display.empty() && (display.back() == ' ' || display.back() == '<')) {
            display.remove_suffix(1);
        }
        const std::size_t length = display.size() * 2 + address.size() + 3;
        if (!first) out.put(",");
        if (!first && used + length >= kFoldAt) {
            out.put("\n");
            used = 0;
        }
        out.put(" ");
        if (!display.empty()) {
            header_value(out, display, used + 1);
            out.put(" <");
        }
        out.put(address);
        if (!display.empty()) out.put(">");
        used += length;
        first = false;
    });
    out.put("\n");
}

bool mime_needs_quoting(std::string_view text, bool eight_bit) {
    if (!eight_bit) return true;
    std::size_t line = 0;
    for (const char c : text) {
        line = c == '\n' || c == '\r' ? 0 : line + 1;
        if (line > kLongestLine - 1) return true;  // a dot may be doubled on the wire
    }
    return false;
}

void mime_body(MailOut &out, std::string_view text, bool quoted) {
    if (!quoted) {
        out.put(text);
        return;
    }
    std::size_t line = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            out.put("\n");
            line = 0;
            continue;
        }
        const bool at_end = i + 1 == text.size() || text[i + 1] == '\r' || text[i + 1] == '\n';
        const bool literal =
            (c > ' ' && c < 0x7F && c != '=') || ((c == ' ' || c == '\t') && !at_end);
        if (!literal) {
            quoted_byte(out, c, &line);
            continue;
        }
        if (line + 1 > kQuotedLine) {
            out.put("=\n");
            line = 0;
        }
        out.put({text.data() + i, 1});
        ++line;
    }
}

std::size_t mime_base64(std::string_view bytes, char *out, std::size_t size) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < bytes.size() && n + 5 <= size; i += 3) {
        const std::size_t left = bytes.size() - i;
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left > 1) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (left > 2) v |= static_cast<unsigned char>(bytes[i + 2]);
        out[n++] = kBase64[v >> 18 & 63];
        out[n++] = kBase64[v >> 12 & 63];
        out[n++] = left > 1 ? kBase64[v >> 6 & 63] : '=';
        out[n++] = left > 2 ? kBase64[v & 63] : '=';
    }
    if (size > 0) out[n < size ? n : size - 1] = '\0';
    return n;
}

}  // namespace kavrel
