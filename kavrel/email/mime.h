// The text of a mailed report as mail readers expect it: the header fields
// (dates, message identifiers, addresses, subjects in UTF-8), and the body
// in 8 bits or quoted-printable. Everything is written with LF line ends;
// the connection turns them into CR LF.
#pragma once

#include <cstddef>
#include <ctime>
#include <string_view>

namespace kavrel {

// Where the text goes, in order.
class MailOut {
  public:
    virtual void put(std::string_view bytes) = 0;

  protected:
    ~MailOut() = default;
};

inline constexpr std::size_t kFoldAt = 78;        // header lines stay below this
inline constexpr std::size_t kLongestLine = 998;  // no line on the wire is longer

// "Mon, 07 Dec 2026 09:30:00 +0100": English names, numeric zone.
void mime_date(std::time_t t, char *out, std::size_t size);

// "<time.process.counter@host>" (process and counter in 8 hexadecimal
// digits), unique for each call in the process.
void mime_message_id(std::time_t t, const char *host, char *out, std::size_t size);

// The address of one item of an address list ("Name <a@b>" or "a@b"), with
// blanks trimmed; empty for an empty item.
std::string_view mime_address(std::string_view item);

// Calls f with each non-empty item of a comma-separated list, trimmed.
template <typename F>
void mime_each_address(std::string_view list, F f) {
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
        if (!item.empty()) f(item);
    }
}

// "Name: value" and its line end; a value with non-ASCII text (or with a
// word too long to fold) goes as RFC 2047 encoded words; lines are folded
// below 78 characters.
void mime_header(MailOut &out, std::string_view name, std::string_view value);

// "Name: a, b, c": the items of an address list, each display name encoded
// as a header value is, folded between items.
void mime_address_header(MailOut &out, std::string_view name, std::string_view list);

// Whether the text must go quoted-printable: the relay takes no 8-bit
// text, or a line is too long for the wire.
bool mime_needs_quoting(std::string_view text, bool eight_bit);

// The text, as it is or quoted-printable (soft line breaks below 77
// characters; line ends CR LF, LF or CR made hard ones).
void mime_body(MailOut &out, std::string_view text, bool quoted);

// Base64 of `bytes` into `out` (4 characters for every 3 bytes, and a NUL);
// the length written.
std::size_t mime_base64(std::string_view bytes, char *out, std::size_t size);

}  // namespace kavrel
