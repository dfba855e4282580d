// Delivery of one mail over SMTP: resolve, connect, await the greeting, the
// fixed dialogue, close. Every wait is bounded by one second.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "email.h"
#include "kavrel_ctx.h"

namespace kavrel {
namespace {

constexpr const char *kSource = "email";
constexpr int kWaitMs = 1000;
constexpr int kMaxAddresses = 8;
constexpr std::size_t kChunk = 2048;  // bytes of the mail's text per send

// Sends every byte, waiting (a second at most each time) while the socket
// cannot take more. The piece's own send error, if any, is in errno.
bool send_all(PlatSocket &socket, const char *bytes, std::size_t count) {
    while (count > 0) {
        const long n = socket.send(bytes, count);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!socket.wait(true, kWaitMs)) return false;
            continue;
        }
        if (n < 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

void connect_failed(KAVREL_ERR_INFO *err_info, const char *host, int16_t port, int error) {
    errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_SMTP_CONNECT,
                "Failed to connect to SMTP host %s on port %d. errno=%d %s", host,
                static_cast<int>(static_cast<uint16_t>(port)), error, std::strerror(error));
}

// One address: a socket, the connection, the greeting. 0 with *sock open
// when it greeted; 0 with *sock closed when it refused, stayed silent or
// failed (its 131268 is in the record: the next address is tried); the
// status of a failure that ends the attempt.
uint32_t try_address(EMAIL_DES *e, const PlatAddress &a, const char *host, int16_t port,
                     PlatSocket *sock, KAVREL_ERR_INFO *err_info) {
    email_trace(e, "SMTP socket for family %d, socktype %d, protocol %d\n", a.family, a.socktype,
                a.protocol);
    PlatSocket attempt;
    if (const int error = attempt.open(a)) {
        email_trace(e, "SMTP socket FAILED. Error %d %s\n", error, std::strerror(error));
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_SMTP_SOCKET,
                    "Failed to create a socket for email delivery. errno=%d %s", error,
                    std::strerror(error));
        return KAVREL_E_SMTP_SOCKET;
    }
    email_trace(e, "SMTP setting non-blocking\n");
    if (const int error = attempt.set_nonblocking()) {
        errinfo_add(err_info, KAVREL_SEV_ERROR, KAVREL_E_SMTP_NONBLOCK,
                    "Failed to set email delivery socket to non-blocking. errno=%d %s", error,
                    std::strerror(error));
        return KAVREL_E_SMTP_NONBLOCK;
    }
    attempt.no_delay();
    email_trace(e, "SMTP connect to %s on %d\n", host,
                static_cast<int>(static_cast<uint16_t>(port)));
    attempt.connect(a);
    errno = 0;
    if (!attempt.wait(false, kWaitMs)) {
        connect_failed(err_info, host, port, attempt.pending_error());
        email_trace(e, "SMTP closing socket\n");
        return 0;
    }
    const long n = attempt.recv(e->reply, kReplySize);
    if (n < 0) {
        const int error = errno;
        email_trace(e, "SMTP recv len: %d, errno: %d %s\n", static_cast<int>(n), error,
                    std::strerror(error));
        // A refused or reset connection shows up here.
        connect_failed(err_info, host, port, error);
        email_trace(e, "SMTP closing socket\n");
        return 0;
    }
    e->reply[n] = '\0';
    email_trace(e, "SMTP RECV: %s\n", e->reply);
    *sock = static_cast<PlatSocket &&>(attempt);
    return 0;
}

// The text of a header field or an envelope address, with every line end
// turned into a space, so that nothing in it can start a command or header.
std::size_t one_line(const char *text, std::size_t count, char *out) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = text[i] == '\r' || text[i] == '\n' ? ' ' : text[i];
    }
    return count;
}

bool send_piece(EMAIL_DES *e, PlatSocket &sock, bool await_reply, const char *text) {
    return smtp_command(e, sock, await_reply, text, std::strlen(text));
}

// A header value or address, sent in pieces of one line.
bool send_field(EMAIL_DES *e, PlatSocket &sock, const char *text, std::size_t count) {
    char piece[kChunk + 1];
    do {
        const std::size_t n = count < kChunk ? count : kChunk;
        piece[one_line(text, n, piece)] = '\0';
        if (!smtp_command(e, sock, false, piece, n)) return false;
        text += n;
        count -= n;
    } while (count > 0);
    return true;
}

// The mail's text on the wire: every line ends in CR LF (a bare LF or CR
// becomes CR LF) and a line that begins with "." gets a second one, so no
// text can end the data early.
bool send_body(EMAIL_DES *e, PlatSocket &sock, const char *body) {
    char chunk[kChunk + 4];
    std::size_t n = 0;
    bool line_start = true;
    for (const char *p = body; *p != '\0'; ++p) {
        if (line_start && *p == '.') chunk[n++] = '.';
        line_start = false;
        if (*p == '\r' || *p == '\n') {
            chunk[n++] = '\r';
            chunk[n++] = '\n';
            if (*p == '\r' && p[1] == '\n') ++p;
            line_start = true;
        } else {
            chunk[n++] = *p;
        }
        if (n >= kChunk) {
            chunk[n] = '\0';
            if (!smtp_command(e, sock, false, chunk, n)) return false;
            n = 0;
        }
    }
    chunk[n] = '\0';
    return n == 0 || smtp_command(e, sock, false, chunk, n);
}

bool send_recipients(EMAIL_DES *e, PlatSocket &sock, const char *recipients) {
    const char *from = recipients;
    for (;;) {
        const char *comma = std::strchr(from, ',');
        const std::size_t n =
            comma != nullptr ? static_cast<std::size_t>(comma - from) : std::strlen(from);
        if (!send_piece(e, sock, false, "RCPT TO: ") || !send_field(e, sock, from, n) ||
            !send_piece(e, sock, true, "\r\n")) {
            return false;
        }
        if (comma == nullptr) return true;
        from = comma + 1;
    }
}

bool dialogue(EMAIL_DES *e, PlatSocket &sock, const char *sender, const char *recipients,
              const char *subject, const char *body) {
    if (e->helo != nullptr && !(send_piece(e, sock, false, "HELO ") &&
                                send_field(e, sock, e->helo, std::strlen(e->helo)) &&
                                send_piece(e, sock, true, "\r\n"))) {
        return false;
    }
    if (!send_piece(e, sock, false, "MAIL FROM: ") ||
        !send_field(e, sock, sender, std::strlen(sender)) || !send_piece(e, sock, true, "\r\n") ||
        !send_recipients(e, sock, recipients) || !send_piece(e, sock, true, "DATA\r\n") ||
        !send_piece(e, sock, false, "To:") ||
        !send_field(e, sock, recipients, std::strlen(recipients)) ||
        !send_piece(e, sock, false, "\r\n") || !send_piece(e, sock, false, "Subject:") ||
        !send_field(e, sock, subject, std::strlen(subject)) ||
        !send_piece(e, sock, false, "\r\n") || !send_body(e, sock, body) ||
        !send_piece(e, sock, false, "\r\n") || !send_piece(e, sock, false, ".") ||
        !send_piece(e, sock, true, "\r\n")) {
        return false;
    }
    send_piece(e, sock, true, "QUIT\r\n");  // its outcome changes nothing
    return true;
}

}  // namespace

uint32_t smtp_connect(EMAIL_DES *email_des, const char *host, int16_t port, PlatSocket *socket,
                      KAVREL_ERR_INFO *err_info) {
    socket->close();
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
        result = try_address(email_des, a, host, port, socket, err_info);
    }
    if (result == 0 && !socket->is_open()) result = KAVREL_E_SMTP_CONNECT;
    if (result != 0) smtp_close(email_des, socket);
    return result;
}

bool smtp_command(EMAIL_DES *email_des, PlatSocket &socket, bool await_reply, const char *bytes,
                  std::size_t count) {
    email_trace(email_des, "SMTP SEND: '%s' len=%d\n", bytes, static_cast<int>(count));
    errno = 0;
    if (!send_all(socket, bytes, count)) {
        const int error = errno;
        email_trace(email_des, "SMTP FAILed to send %s errno: %d %s\n", bytes, error,
                    std::strerror(error));
        return false;
    }
    if (!await_reply) return true;
    if (!socket.wait(false, kWaitMs)) {
        const int error = errno;
        email_trace(email_des, "SMTP FAIL: sent '%s' recv len: %d, errno: %d %s\n", bytes, -1,
                    error, std::strerror(error));
        return false;
    }
    const long n = socket.recv(email_des->reply, kReplySize);
    if (n < 0) {
        const int error = errno;
        email_trace(email_des, "SMTP FAIL: sent '%s' recv len: %d, errno: %d %s\n", bytes,
                    static_cast<int>(n), error, std::strerror(error));
        return false;
    }
    email_des->reply[n] = '\0';
    email_trace(email_des, "SMTP RECV: %s\n", email_des->reply);
    return true;
}

void smtp_close(EMAIL_DES *email_des, PlatSocket *socket) {
    if (!socket->is_open()) return;
    email_trace(email_des, "SMTP closing socket\n");
    socket->close();
}

uint32_t email_send(EMAIL_DES *email_des, const char *sender, const char *recipients,
                    const char *subject, const char *body, KAVREL_ERR_INFO *err_info) {
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
    const uint32_t status =
        smtp_connect(email_des, email_des->host, email_des->port, &email_des->socket, err_info);
    if (status != 0) return status;
    dialogue(email_des, email_des->socket, sender, recipients, subject, body);
    smtp_close(email_des, &email_des->socket);
    return 0;
}

}  // namespace kavrel
