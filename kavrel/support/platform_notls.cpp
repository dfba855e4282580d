// A build without a TLS library: no session can start, and the library
// mails nothing rather than sending in clear where TLS is asked for.
#include <cstdio>

#include "platform.h"

namespace kavrel {

bool PlatTls::available() noexcept {
    return false;
}

bool PlatTls::start(PlatSocket &, const char *, const char *, int, char *why,
                    std::size_t size) noexcept {
    std::snprintf(why, size, "%s", "this build has no TLS");
    return false;
}

long PlatTls::send(const char *, std::size_t) noexcept {
    return -1;
}

long PlatTls::recv(char *, std::size_t) noexcept {
    return -1;
}

bool PlatTls::pending() const noexcept {
    return false;
}

void PlatTls::close() noexcept {
    ssl_ = nullptr;
}

}  // namespace kavrel
