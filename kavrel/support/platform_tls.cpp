// TLS through OpenSSL. The session's bytes pass through a BIO of our own
// that calls the socket's send and receive, so the writes never raise
// SIGPIPE, the waits stay the library's, and the failures of test builds
// reach the handshake too. The thread's OpenSSL error queue is left empty,
// so that a product's own use of OpenSSL never sees the library's errors.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace kavrel {
namespace {

using Link = PlatTls::Link;

Link *link_of(BIO *bio) {
    return static_cast<Link *>(BIO_get_data(bio));
}

int bio_result(BIO *bio, long n, bool writing) {
    BIO_clear_retry_flags(bio);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        writing ? BIO_set_retry_write(bio) : BIO_set_retry_read(bio);
    } else {
        link_of(bio)->error = errno;
    }
    return -1;
}

int bio_write(BIO *bio, const char *bytes, int count) {
    errno = 0;
    const long n = link_of(bio)->socket->send(bytes, static_cast<std::size_t>(count));
    return bio_result(bio, n, true);
}

int bio_read(BIO *bio, char *buffer, int size) {
    errno = 0;
    const long n = link_of(bio)->socket->recv(buffer, static_cast<std::size_t>(size));
    return bio_result(bio, n, false);
}

long bio_ctrl(BIO *, int command, long, void *) {
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bio_create(BIO *bio) {
    BIO_set_init(bio, 1);
    return 1;
}

// Made once for the process and kept until its end.
BIO_METHOD *socket_method() {
    static BIO_METHOD *const method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kavrel socket");
        if (m != nullptr &&
            (BIO_meth_set_write(m, bio_write) != 1 || BIO_meth_set_read(m, bio_read) != 1 ||
             BIO_meth_set_ctrl(m, bio_ctrl) != 1 || BIO_meth_set_create(m, bio_create) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

// Why the last OpenSSL call failed, in words.
void describe(SSL *ssl, int code, int error, char *why, std::size_t size) {
    const long verified = ssl != nullptr ? SSL_get_verify_result(ssl) : X509_V_OK;
    const unsigned long queued = ERR_peek_last_error();
    if (verified != X509_V_OK) {
        std::snprintf(why, size, "certificate verify failed: %s",
                      X509_verify_cert_error_string(verified));
    } else if (queued != 0 && ERR_reason_error_string(queued) != nullptr) {
        std::snprintf(why, size, "%s", ERR_reason_error_string(queued));
    } else if (code == SSL_ERROR_SYSCALL && error != 0) {
        std::snprintf(why, size, "%s", std::strerror(error));
    } else {
        std::snprintf(why, size, "%s", "the connection was closed");
    }
    ERR_clear_error();
}

// A context for one session: TLS 1.2 at least, the peer always verified.
SSL_CTX *make_context(const char *ca, char *why, std::size_t size) {
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
        describe(nullptr, 0, 0, why, size);
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    const int loaded = ca != nullptr && ca[0] != '\0'
                           ? SSL_CTX_load_verify_locations(ctx, ca, nullptr)
                           : SSL_CTX_set_default_verify_paths(ctx);
    if (loaded != 1) {
        std::snprintf(why, size, "the CA file %s cannot be used", ca != nullptr ? ca : "");
        ERR_clear_error();
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

}  // namespace

bool PlatTls::available() noexcept {
    return !i18n::fault_hits(Fault::tls, nullptr) && socket_method() != nullptr;
}

bool PlatTls::start(PlatSocket &socket, const char *host, const char *ca, int ms, char *why,
                    std::size_t size) noexcept {
    close();
    ERR_clear_error();
    link_ = {&socket, 0};
    SSL_CTX *ctx = make_context(ca, why, size);
    if (ctx == nullptr) return false;
    SSL *ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);  // the session keeps its own reference
    BIO *bio = ssl != nullptr ? BIO_new(socket_method()) : nullptr;
    if (bio == nullptr) {
        SSL_free(ssl);
        describe(nullptr, 0, 0, why, size);
        return false;
    }
    BIO_set_data(bio, &link_);
    SSL_set_bio(ssl, bio, bio);
    ssl_ = ssl;
    // The name checked is the one the product configured: an address, or a
    // host name that is also sent to the relay (SNI).
    if (X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host) != 1) {
        ERR_clear_error();
        SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 const_cast<char *>(host));
        SSL_set1_host(ssl, host);
    }
    for (;;) {
        const int n = SSL_connect(ssl);
        if (n == 1) return true;
        const int code = SSL_get_error(ssl, n);
        if ((code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) ||
            !socket.wait(code == SSL_ERROR_WANT_WRITE, ms)) {
            const int error =
                code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE ? errno : link_.error;
            describe(ssl, code == SSL_ERROR_WANT_READ ? SSL_ERROR_SYSCALL : code, error, why, size);
            close();
            return false;
        }
    }
}

long PlatTls::io_result(int n) noexcept {
    if (n > 0) return n;
    const int code = SSL_get_error(static_cast<SSL *>(ssl_), n);
    ERR_clear_error();
    want_write_ = code == SSL_ERROR_WANT_WRITE;
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
        errno = EAGAIN;
        return -1;
    }
    if (code == SSL_ERROR_ZERO_RETURN) return 0;
    errno = link_.error != 0 ? link_.error : EPROTO;
    return -1;
}

long PlatTls::send(const char *bytes, std::size_t count) noexcept {
    ERR_clear_error();
    const int n = SSL_write(static_cast<SSL *>(ssl_), bytes,
                            static_cast<int>(count < INT_MAX ? count : INT_MAX));
    return io_result(n);
}

long PlatTls::recv(char *buffer, std::size_t size) noexcept {
    ERR_clear_error();
    const int n = SSL_read(static_cast<SSL *>(ssl_), buffer,
                           static_cast<int>(size < INT_MAX ? size : INT_MAX));
    return io_result(n);
}

bool PlatTls::pending() const noexcept {
    return ssl_ != nullptr && SSL_pending(static_cast<const SSL *>(ssl_)) > 0;
}

void PlatTls::close() noexcept {
    if (ssl_ == nullptr) return;
    SSL_shutdown(static_cast<SSL *>(ssl_));
    SSL_free(static_cast<SSL *>(ssl_));
    ERR_clear_error();
    ssl_ = nullptr;
    want_write_ = false;
}

}  // namespace kavrel
