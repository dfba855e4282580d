// Fuzzes what a relay says: the input is every byte a relay sends, greeting
// and replies, played by a peer on loopback that then ends its side. A mail
// is sent through it, traced (so every reply is formatted too): it must end
// at once, with the connection counted as made, and leave nothing behind.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <thread>

#include "diag/route.h"
#include "email/email.h"
#include "fuzz_check.h"
#include "kavrel_ctx.h"

namespace {

// A listening loopback socket for the life of the process; its port.
int listener(uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    FUZZ_CHECK(fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&a), size) == 0 &&
               ::listen(fd, 4) == 0 &&
               ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) == 0);
    *port = ntohs(a.sin_port);
    return fd;
}

// One connection: the bytes, the end of the peer's side, then whatever the
// client still sends until it closes.
void play(int listening, const uint8_t *data, size_t size) {
    const int fd = ::accept(listening, nullptr, nullptr);
    FUZZ_CHECK(fd >= 0);
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0) break;
        data += n;
        size -= static_cast<size_t>(n);
    }
    ::shutdown(fd, SHUT_WR);
    char sink[4096];
    while (::recv(fd, sink, sizeof sink, 0) > 0) {
    }
    ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static uint16_t port = 0;
    static const int listening = listener(&port);
    static char helo[] = "fuzz.test";
    static KAVREL_CTX *ctx = nullptr;
    if (ctx == nullptr) {
        FUZZ_CHECK(
            kavrel_init(&ctx, "fuzz", nullptr, "/tmp", nullptr, "/dev/null", "en_US", nullptr,
                        [](KAVREL_CTX *, int32_t, int32_t, const char *) { return 0; }) == 0);
        ctx->email->host = kavrel::mem_strdup(ctx, "127.0.0.1");
        ctx->email->port = static_cast<int16_t>(port);
        ctx->email->helo = helo;
        kavrel::set_trace_mask(ctx, KAVREL_TRACE_PROP);
    }
    std::thread peer(play, listening, data, size);
    kavrel::KAVREL_ERR_INFO ei;
    kavrel::errinfo_begin(ctx, nullptr, &ei);
    static kavrel::MailSettings to = [] {
        kavrel::MailSettings s{};
        std::snprintf(s.sender, sizeof s.sender, "%s", "s@x.test");
        std::snprintf(s.recipients, sizeof s.recipients, "%s", "a@x.test,b@x.test");
        return s;
    }();
    const uint32_t sent = kavrel::email_send(ctx->email, to, "subject", "body\n.\nend", &ei);
    FUZZ_CHECK(sent == 0 || sent == KAVREL_E_SMTP_REFUSED || sent == KAVREL_E_SMTP_CONNECT);
    peer.join();
    kavrel::errinfo_route(&ei);
    FUZZ_CHECK(kavrel::list_empty(&ei.errq));
    return 0;
}
