// Delivery of one mail over SMTP: resolve, connect, read the greeting,
// the dialogue (EHLO, STARTTLS and a login when asked for, the envelope,
// the message), close. Every reply is read whole and its code checked; a
// refused step is reported with 131272 and ends the dialogue. Every wait
// is bounded by one second.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "diag/msg.h"
#include "diag/route.h"
#include "email.h"
#include "flood.h"
#include "mime.h"

namespace kavrel {
namespace {

constexpr const char *kSource = "email";
constexpr int kWaitMs = 1000;
constexpr int kMaxAddresses = 8;
constexpr std::size_t kChunk = 2048;          // bytes of the mail's text per send
constexpr std::size_t kLongestReply = 65536;  // a relay that says more is broken
constexpr std::size_t kCommandSize = 1100;
constexpr const char *kClosed = "the connection was closed";

using Clock = std::chrono::steady_clock;

void connect_failed(KAVREL_ERR_INFO *err_info, const char *host, int16_t port, int error) {
    errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_SMTP_CONNECT,
                "Failed to connect to SMTP host %s on port %d. errno=%d %s", host,
                static_cast<int>(static_cast<uint16_t>(port)), error, plat_error_text(error));
}

// ---- the connection: plain, or TLS once started --------------------------------

long wire_send(EMAIL_DES *e, const char *bytes, std::size_t count) {
    return e->tls.is_open() ? e->tls.send(bytes, count) : e->socket.send(bytes, count);
}

long wire_recv(EMAIL_DES *e, char *buffer, std::size_t size) {
    return e->tls.is_open() ? e->tls.recv(buffer, size) : e->socket.recv(buffer, size);
}

// Waits for what the last transfer needed: TLS may have to read to write.
bool wire_wait(EMAIL_DES *e, bool writing, int ms) {
    return e->socket.wait(e->tls.is_open() ? e->tls.wants_write() : writing, ms);
}

// Sends every byte, waiting (a second at most each time) while the
// connection cannot take more; a failure's errno is left in errno.
bool send_all(EMAIL_DES *e, const char *bytes, std::size_t count) {
    while (count > 0) {
        errno = 0;
        const long n = wire_send(e, bytes, count);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wire_wait(e, true, kWaitMs)) return false;
            continue;
        }
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

// Refills the input, waiting until the deadline for bytes (unless TLS
// holds some already): false at the end of the connection (*got 0), on a
// failure or when the deadline passes (*got -1, errno says which).
bool fill(EMAIL_DES *e, Clock::time_point deadline, long *got) {
    for (;;) {
        *got = -1;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) errno = ETIMEDOUT;
        if (!e->tls.pending() && (left <= 0 || !wire_wait(e, false, static_cast<int>(left)))) {
            return false;
        }
        errno = 0;
        *got = wire_recv(e, e->input, sizeof e->input);
        if (*got > 0) {
            e->input_at = 0;
            e->input_end = static_cast<uint32_t>(*got);
            return true;
        }
        if (*got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    }
}

// ---- replies ------------------------------------------------------------------

// Whether the first n bytes of a and b are equal, ASCII letters in either case.
bool same_text(const char *a, const char *b, std::size_t n) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    for (std::size_t i = 0; i < n; ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
        if (a[i] == '\0') return true;
    }
    return true;
}

// What a reply said: its code and, from EHLO, what the relay offers.
struct Reply {
    int code;
    bool eight_bit, starttls, plain, login;
};

bool has_word(std::string_view text, std::string_view word) {
    for (std::size_t at = 0; at + word.size() <= text.size(); ++at) {
        if (same_text(text.data() + at, word.data(), word.size()) &&
            (at == 0 || text[at - 1] == ' ' || text[at - 1] == '=') &&
            (at + word.size() == text.size() || text[at + word.size()] == ' ')) {
            return true;
        }
    }
    return false;
}

// One line of a reply, in e->line; true when it is the last one (its code
// followed by a space or nothing, or no code at all).
bool take_line(EMAIL_DES *e, Reply *r) {
    const char *l = e->line;
    const bool coded =
        l[0] >= '2' && l[0] <= '5' && l[1] >= '0' && l[1] <= '9' && l[2] >= '0' && l[2] <= '9';
    r->code = coded ? (l[0] - '0') * 100 + (l[1] - '0') * 10 + (l[2] - '0') : 0;
    if (!coded) return true;
    const std::string_view offer = l[3] != '\0' ? l + 4 : "";
    r->eight_bit |= same_text(offer.data(), "8BITMIME", 9);
    r->starttls |= same_text(offer.data(), "STARTTLS", 9);
    if (same_text(offer.data(), "AUTH", 4)) {
        r->plain |= has_word(offer, "PLAIN");
        r->login |= has_word(offer, "LOGIN");
    }
    return l[3] != '-';
}

// Reads one whole reply, all its lines, within one second: its start into
// e->reply, its last line into e->line. False when it did not come whole.
bool read_reply(EMAIL_DES *e, Reply *r, long *got) {
    *r = Reply{};
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWaitMs);
    std::size_t kept = 0, line = 0, total = 0;
    e->reply[0] = e->line[0] = '\0';
    for (;;) {
        if (e->input_at == e->input_end && !fill(e, deadline, got)) return false;
        const char c = e->input[e->input_at++];
        if (++total > kLongestReply) {
            *got = -1;
            errno = EMSGSIZE;
            return false;
        }
        if (kept < kReplySize) e->reply[kept++] = c, e->reply[kept] = '\0';
        if (c == '\n') {
            if (line > 0 && e->line[line - 1] == '\r') e->line[line - 1] = '\0';
            if (take_line(e, r)) return true;
            line = 0;
        } else if (line < kReplySize) {
            e->line[line++] = c;
            e->line[line] = '\0';
        }
    }
}

// ---- connecting ---------------------------------------------------------------

// Ends the connection on `socket` (TLS first), leaving the socket layer
// started.
void close_connection(EMAIL_DES *e, PlatSocket *socket) {
    if (!socket->is_open()) return;
    email_trace(e, "SMTP closing socket\n");
    e->tls.close();
    socket->close();
}

bool start_tls(EMAIL_DES *e, const char *host, const MailAccess &access, char *why,
               std::size_t size) {
    email_trace(e, "SMTP TLS handshake with %s\n", host);
    if (e->tls.start(e->socket, host, access.ca, kWaitMs, why, size)) return true;
    email_trace(e, "SMTP TLS FAILED: %s\n", why);
    return false;
}

void refused(KAVREL_ERR_INFO *err_info, const char *host, const char *step, const char *text) {
    errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_SMTP_REFUSED,
                "The SMTP host %s refused the report at %s: %s", host, step, text);
}

// The greeting, after TLS when it comes first: true when it was read (or
// the relay closed at once); false with the failure reported.
bool greeting(EMAIL_DES *e, const char *host, int16_t port, const MailAccess &access,
              KAVREL_ERR_INFO *err_info) {
    char why[256];
    if (access.security == kSecurityTls && !start_tls(e, host, access, why, sizeof why)) {
        refused(err_info, host, "TLS", why);
        return false;
    }
    Reply reply;
    long got = 0;
    if (read_reply(e, &reply, &got) || got == 0) {
        email_trace(e, "SMTP RECV: %s\n", e->reply);
        return true;
    }
    const int error = errno;
    email_trace(e, "SMTP recv len: %d, errno: %d %s\n", static_cast<int>(got), error,
                plat_error_text(error));
    connect_failed(err_info, host, port, error);  // a refused or reset connection shows here
    return false;
}

// One address: a socket, the connection, the greeting. 0 with the socket
// open when it greeted; 0 with it closed when it refused, stayed silent or
// failed (reported: the next address is tried); the status of a failure
// that ends the attempt.
uint32_t try_address(EMAIL_DES *e, const PlatAddress &a, const char *host, int16_t port,
                     const MailAccess &access, KAVREL_ERR_INFO *err_info) {
    email_trace(e, "SMTP socket for family %d, socktype %d, protocol %d\n", a.family, a.socktype,
                a.protocol);
    PlatSocket &sock = e->socket;
    if (const int error = sock.open(a)) {
        email_trace(e, "SMTP socket FAILED. Error %d %s\n", error, plat_error_text(error));
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_SMTP_SOCKET,
                    "Failed to create a socket for email delivery. errno=%d %s", error,
                    plat_error_text(error));
        return KAVREL_E_SMTP_SOCKET;
    }
    email_trace(e, "SMTP setting non-blocking\n");
    if (const int error = sock.set_nonblocking()) {
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_SMTP_NONBLOCK,
                    "Failed to set email delivery socket to non-blocking. errno=%d %s", error,
                    plat_error_text(error));
        return KAVREL_E_SMTP_NONBLOCK;
    }
    sock.no_delay();
    email_trace(e, "SMTP connect to %s on %d\n", host,
                static_cast<int>(static_cast<uint16_t>(port)));
    sock.connect(a);
    errno = 0;
    // The relay speaks first, unless TLS comes first: then the client does.
    if (!sock.wait(access.security == kSecurityTls, kWaitMs)) {
        connect_failed(err_info, host, port, sock.pending_error());
    } else if (greeting(e, host, port, access, err_info)) {
        return 0;
    }
    close_connection(e, &sock);  // the next address needs the socket layer still
    return 0;
}

// ---- the dialogue -------------------------------------------------------------

// Overwrites what held a secret.
void wipe(char *text, std::size_t size) {
    volatile char *p = text;
    for (std::size_t i = 0; i < size; ++i) p[i] = '\0';
}

// The bytes of the text's first line, its LF included.
std::size_t line_length(std::string_view text) {
    const std::size_t lf = text.find('\n');
    return lf == std::string_view::npos ? text.size() : lf + 1;
}

bool starts_with(std::string_view text, std::string_view start) {
    return text.size() >= start.size() && same_text(text.data(), start.data(), start.size());
}

// The mail's text on the wire: every line ends in CR LF (a bare LF or CR
// becomes CR LF) and a line that begins with "." gets a second one, so no
// text can end the data early; sent in pieces of 2 KiB.
class DataOut final : public MailOut {
  public:
    explicit DataOut(EMAIL_DES *e) : e_(e) {}
    void put(std::string_view bytes) override {
        for (const char c : bytes) {
            if (c == '\n' && after_cr_) {
                after_cr_ = false;
                continue;
            }
            after_cr_ = c == '\r';
            if (line_start_ && c == '.') chunk_[n_++] = '.';
            line_start_ = c == '\r' || c == '\n';
            if (line_start_) {
                chunk_[n_++] = '\r';
                chunk_[n_++] = '\n';
            } else {
                chunk_[n_++] = c;
            }
            if (n_ >= kChunk) flush();
        }
    }
    // False once a piece could not be sent.
    bool flush() {
        if (n_ == 0 || !ok_) return ok_;
        chunk_[n_] = '\0';
        email_trace(e_, "SMTP SEND: '%s' len=%d\n", chunk_, static_cast<int>(n_));
        ok_ = send_all(e_, chunk_, n_);
        if (!ok_) {
            const int error = errno;
            email_trace(e_, "SMTP FAILed to send %s errno: %d %s\n", chunk_, error,
                        plat_error_text(error));
            errno = error;
        }
        n_ = 0;
        return ok_;
    }
    bool at_line_start() const { return line_start_; }

  private:
    EMAIL_DES *e_;
    char chunk_[kChunk + 4];
    std::size_t n_ = 0;
    bool line_start_ = true, after_cr_ = false, ok_ = true;
};

class Dialogue {
  public:
    Dialogue(EMAIL_DES *e, const MailSettings &to, KAVREL_ERR_INFO *err_info)
        : e_(e), to_(to), ei_(err_info) {
        if (e->helo != nullptr && e->helo[0] != '\0') {
            std::snprintf(helo_, sizeof helo_, "%s", e->helo);
        } else {
            plat_host_name(helo_, sizeof helo_);
            if (helo_[0] == '\0') std::snprintf(helo_, sizeof helo_, "%s", "localhost");
        }
        for (char &c : helo_) c = c == '\r' || c == '\n' ? ' ' : c;
    }

    // The dialogue after the greeting; false when a step failed or a
    // recipient was refused.
    bool run(const char *subject, const char *body, const char *notice) {
        const bool completed = converse(subject, body, notice);
        reporting_ = false;
        if (!completed && !broken_) step("RSET\r\n", nullptr, 2);
        if (!broken_) step("QUIT\r\n", nullptr, 2);  // its outcome changes nothing
        return completed && !refused_;
    }

  private:
    bool converse(const char *subject, const char *body, const char *notice) {
        take_line(e_, &reply_);  // the greeting's code
        if (reply_.code != 220) {
            return refuse("greeting", e_->line[0] != '\0' ? e_->line : kClosed);
        }
        if (!hello() || (to_.access.security == kSecurityStartTls && !upgrade()) || !login()) {
            return false;
        }
        std::string_view text = body;
        while (starts_with(text, "Content-")) text.remove_prefix(line_length(text));
        const bool quoted = mime_needs_quoting(text, offers_.eight_bit);
        char command[kCommandSize];
        const std::string_view sender = mime_address(to_.sender);
        std::snprintf(command, sizeof command, "MAIL FROM:<%.*s>%s\r\n",
                      static_cast<int>(sender.size()), sender.data(),
                      quoted ? "" : " BODY=8BITMIME");
        if (!step(clean(command), nullptr, 2) || !envelope()) return false;
        return step("DATA\r\n", nullptr, 3) &&
               content(subject, {body, static_cast<std::size_t>(text.data() - body)}, text, notice,
                       quoted) &&
               step(".\r\n", nullptr, 2, "end of data");
    }

    // EHLO, and HELO for a relay that knows no EHLO.
    bool hello() {
        char command[kCommandSize];
        std::snprintf(command, sizeof command, "EHLO %s\r\n", helo_);
        offers_ = Reply{};
        if (!talk(command, nullptr)) return false;
        if (reply_.code / 100 == 2) return offers_ = reply_, true;
        if (reply_.code / 100 != 5) return refuse("EHLO", e_->line);
        std::snprintf(command, sizeof command, "HELO %s\r\n", helo_);
        return step(command, nullptr, 2);
    }

    bool upgrade() {
        if (!offers_.starttls) return refuse("STARTTLS", "the relay does not offer STARTTLS");
        if (!step("STARTTLS\r\n", nullptr, 2)) return false;
        e_->input_at = e_->input_end = 0;  // nothing sent before TLS is believed after it
        char why[256];
        if (!start_tls(e_, e_->host, to_.access, why, sizeof why)) {
            broken_ = true;
            return refuse("STARTTLS", why);
        }
        return hello();
    }

    bool login() {
        const char *user = to_.access.user;
        if (user[0] == '\0') return true;
        if (!e_->tls.is_open()) return refuse("AUTH", "a login is only sent over TLS");
        const char *password = to_.access.password;
        char secret[kUserSize + kPasswordSize + 2], command[kCommandSize];
        bool ok;
        if (offers_.plain) {
            const int n = std::snprintf(secret, sizeof secret, "%c%s%c%s", 0, user, 0, password);
            std::memcpy(command, "AUTH PLAIN ", 11);
            const std::size_t length = mime_base64({secret, static_cast<std::size_t>(n)},
                                                   command + 11, sizeof command - 13);
            std::memcpy(command + 11 + length, "\r\n", 3);
            ok = step(command, "AUTH PLAIN ***\r\n", 2);
        } else if (offers_.login) {
            ok = step("AUTH LOGIN\r\n", nullptr, 3) && secret_step(user, 3) &&
                 secret_step(password, 2);
        } else {
            return refuse("AUTH", "the relay offers neither AUTH PLAIN nor AUTH LOGIN");
        }
        wipe(secret, sizeof secret);
        wipe(command, sizeof command);
        return ok;
    }

    bool secret_step(const char *text, int expected) {
        char command[kCommandSize];
        const std::size_t n = mime_base64(text, command, sizeof command - 3);
        std::memcpy(command + n, "\r\n", 3);
        const bool ok = step(command, "***\r\n", expected, "AUTH LOGIN");
        wipe(command, sizeof command);
        return ok;
    }

    // One RCPT TO for each recipient; a refused one is reported and the
    // others still get the mail. False when none was accepted.
    bool envelope() {
        int accepted = 0;
        mime_each_address(to_.recipients, [this, &accepted](std::string_view item) {
            if (broken_) return;
            const std::string_view address = mime_address(item);
            char command[kCommandSize];
            std::snprintf(command, sizeof command, "RCPT TO:<%.*s>\r\n",
                          static_cast<int>(address.size()), address.data());
            if (step(clean(command), nullptr, 2)) ++accepted;
        });
        return accepted > 0 && !broken_;
    }

    bool content(const char *subject, std::string_view fields, std::string_view text,
                 const char *notice, bool quoted) {
        DataOut out(e_);
        mime_address_header(out, "From", to_.sender);
        mime_address_header(out, "To", to_.recipients);
        mime_header(out, "Subject", subject);
        const std::time_t now = plat_time();
        char value[kReplySize + 64];
        mime_date(now, value, sizeof value);
        out.put("Date: ");
        out.put(value);
        mime_message_id(now, helo_, value, sizeof value);
        out.put("\nMessage-ID: ");
        out.put(value);
        out.put("\nMIME-Version: 1.0\n");
        while (!fields.empty()) {
            const std::string_view field = fields.substr(0, line_length(fields));
            out.put(starts_with(field, "Content-transfer-encoding:") && quoted
                        ? "Content-transfer-encoding: quoted-printable\n"
                        : field);
            fields.remove_prefix(field.size());
        }
        out.put("\n");
        mime_body(out, notice, quoted);
        mime_body(out, text, quoted);
        if (!out.at_line_start()) out.put("\n");
        if (out.flush()) return true;
        broken_ = true;
        return refuse("DATA", plat_error_text(errno));
    }

    // Line ends inside an address become blanks: nothing can add a command.
    static const char *clean(char *command) {
        const std::size_t n = std::strlen(command);
        for (std::size_t i = 0; i + 2 < n; ++i) {
            if (command[i] == '\r' || command[i] == '\n') command[i] = ' ';
        }
        return command;
    }

    // Sends a command and reads its reply: true when its code is of the
    // `expected` hundred. `shown` stands for the command in the trace and
    // in the report (the command itself when null).
    bool step(const char *command, const char *shown, int expected, const char *name = nullptr) {
        if (!talk(command, shown, name)) return false;
        if (reply_.code / 100 == expected) return true;
        return refuse(name != nullptr ? name : shown != nullptr ? shown : command, e_->line);
    }

    bool talk(const char *command, const char *shown, const char *name = nullptr) {
        const char *traced = shown != nullptr ? shown : command;
        if (name == nullptr) name = traced;
        const std::size_t count = std::strlen(command);
        email_trace(e_, "SMTP SEND: '%s' len=%d\n", traced, static_cast<int>(count));
        if (!send_all(e_, command, count)) {
            const int error = errno;
            email_trace(e_, "SMTP FAILed to send %s errno: %d %s\n", traced, error,
                        plat_error_text(error));
            broken_ = true;
            return refuse(name, plat_error_text(error));
        }
        long got = 0;
        if (!read_reply(e_, &reply_, &got)) {
            const int error = errno;
            email_trace(e_, "SMTP FAIL: sent '%s' recv len: %d, errno: %d %s\n", traced,
                        static_cast<int>(got), error, plat_error_text(error));
            broken_ = true;
            return refuse(name, got == 0 ? kClosed : plat_error_text(error));
        }
        email_trace(e_, "SMTP RECV: %s\n", e_->reply);
        return true;
    }

    // Reports a refused step (while the dialogue is still reported): false.
    bool refuse(const char *step, const char *text) {
        if (!reporting_) return false;
        char name[kReplySize];
        const std::size_t n = std::min(std::strcspn(step, "\r\n"), sizeof name - 1);
        std::memcpy(name, step, n);
        name[n] = '\0';
        refused(ei_, e_->host, name, text);
        refused_ = true;
        return false;
    }

    EMAIL_DES *e_;
    const MailSettings &to_;
    KAVREL_ERR_INFO *ei_;
    Reply reply_{};
    Reply offers_{};  // what the last EHLO offered
    char helo_[kHostSize] = "";
    bool broken_ = false;    // the connection failed: nothing more can be said
    bool refused_ = false;   // a step was refused and reported
    bool reporting_ = true;  // RSET and QUIT are never reported
};

// The first lines of a mail after reports were held back: "<n> reports were
// not mailed since <time>."
void not_mailed(EMAIL_DES *e, const FloodCheck &flood, KAVREL_ERR_INFO *err_info, char *out,
                std::size_t size) {
    char since[kTimeBufSize], label[kLabelSize], text[kMsgTextMax + 1];
    format_time(e->owner, e->owner->locale, &flood.since, since);
    severity_label(err_info, KAVREL_M_NOT_MAILED, KAVREL_SEV_WARNING, label);
    int32_t length = sizeof text;
    if (msg_composef(err_info->msg_ctx, text, &length, KAVREL_M_NOT_MAILED,
                     "%d reports were not mailed since %s.", flood.missed, since) != 0) {
        std::snprintf(text, sizeof text, "%d reports were not mailed since %s.", flood.missed,
                      since);
    }
    std::snprintf(out, size, "%s%s\n\n", label, text);
}

// Whether this report may go now; the first one held back is reported.
bool admitted(EMAIL_DES *e, const MailAccess &access, KAVREL_ERR_INFO *err_info, char *notice,
              std::size_t size) {
    const FloodCheck flood = flood_check(e->host, e->port, access.per_hour, plat_time());
    if (flood.allowed) {
        if (flood.missed > 0) not_mailed(e, flood, err_info, notice, size);
        return true;
    }
    email_trace(e, "SMTP not mailed: %d reports an hour to %s\n", access.per_hour, e->host);
    if (flood.first_refusal) {
        char relay[kHostSize + 8], until[kTimeBufSize];
        std::snprintf(relay, sizeof relay, "%s:%d", e->host,
                      static_cast<int>(static_cast<uint16_t>(e->port)));
        format_time(e->owner, e->owner->locale, &flood.until, until);
        errinfo_add(err_info, KAVREL_SEV_WARNING, KAVREL_E_MAIL_LIMIT,
                    "The limit of %d mailed reports an hour for %s has been reached; reports are "
                    "not mailed until %s.",
                    access.per_hour, relay, until);
    }
    return false;
}

}  // namespace

uint32_t smtp_connect(EMAIL_DES *email_des, const char *host, int16_t port,
                      const MailAccess &access, PlatSocket *socket, KAVREL_ERR_INFO *err_info) {
    smtp_close(email_des, socket);
    email_des->input_at = email_des->input_end = 0;
    if (access.security != kSecurityNone && !PlatTls::available()) {
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_NO_TLS,
                    "This build cannot use TLS: no report is mailed to %s.", host);
        return KAVREL_E_NO_TLS;
    }
    if (const int error = plat_sockets_start()) {
        errinfo_add(
            err_info, KAVREL_SEV_ERROR, KAVREL_E_WINSOCK,
            "Failed to initialise WinSock for email delivery. WSAStartup returned error %d.",
            error);
        return KAVREL_E_WINSOCK;
    }
    email_des->sockets_started = true;
    email_trace(email_des, "SMTP opening socket\n");
    char port_text[8];
    std::snprintf(port_text, sizeof port_text, "%hu", static_cast<uint16_t>(port));
    PlatResolver addresses;
    const int code = addresses.resolve(host, port_text);
    if (code != 0) {
        const char *text = PlatResolver::text(code);
        email_trace(email_des, "SMTP getaddrinfo to %s@%s FAILED: error: %d %s\n", host, port_text,
                    code, text);
        errinfo_add(err_info, KAVREL_SEV_ERROR, 0,
                    "Failed to get address information for email delivery to %s. Error=%d %s", host,
                    code, text);
        return static_cast<uint32_t>(code);
    }
    email_trace(email_des, "SMTP getaddrinfo to %s@%s SUCCESS\n", host, port_text);
    // Every address in turn until one greets, a few at most: each that
    // fails costs a second at most.
    uint32_t result = 0;
    PlatAddress a;
    for (int tried = 0;
         tried < kMaxAddresses && result == 0 && !socket->is_open() && addresses.next(&a);
         ++tried) {
        result = try_address(email_des, a, host, port, access, err_info);
    }
    if (result == 0 && !socket->is_open()) result = KAVREL_E_SMTP_CONNECT;
    if (result != 0) smtp_close(email_des, socket);
    return result;
}

void smtp_close(EMAIL_DES *email_des, PlatSocket *socket) {
    close_connection(email_des, socket);
    if (email_des->sockets_started) plat_sockets_stop();
    email_des->sockets_started = false;
}

uint32_t email_send(EMAIL_DES *email_des, const MailSettings &to, const char *subject,
                    const char *body, KAVREL_ERR_INFO *err_info) {
    if (email_des == nullptr) {
        return errinfo_precondition(err_info, kSource, __LINE__, "(email_ctx != NULL)");
    }
    if (email_des->magic != EMAIL_DES_MAGIC) {
        return errinfo_precondition(err_info, kSource, __LINE__, kEmailMagicCondition);
    }
    LockGuard lock(email_des->lock);
    if (email_des->host == nullptr) {  // no configuration has succeeded yet
        connect_failed(err_info, "(null)", email_des->port, EDESTADDRREQ);
        return KAVREL_E_SMTP_CONNECT;
    }
    char notice[kMsgTextMax + kLabelSize + 8] = "";
    if (!admitted(email_des, to.access, err_info, notice, sizeof notice)) return 0;
    const uint32_t status = smtp_connect(email_des, email_des->host, email_des->port, to.access,
                                         &email_des->socket, err_info);
    if (status != 0) return status;
    const bool sent = Dialogue(email_des, to, err_info).run(subject, body, notice);
    smtp_close(email_des, &email_des->socket);
    return sent ? 0 : KAVREL_E_SMTP_REFUSED;
}

}  // namespace kavrel
