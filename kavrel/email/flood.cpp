#include "flood.h"

#include <cstdio>
#include <cstring>
#include <mutex>

namespace kavrel {
namespace {

constexpr int kMinutes = 60;
constexpr int kRelays = 16;  // beyond these, the relay unused longest is forgotten

struct Minute {
    int64_t minute;
    int32_t count;
};

struct RelayLog {
    char host[128];
    int16_t port;
    int64_t last_use;  // minute
    Minute minutes[kMinutes];
    int32_t missed;
    std::time_t since;
};

std::recursive_mutex g_lock;
RelayLog g_relays[kRelays];

RelayLog &log_of(const char *host, int16_t port) {
    RelayLog *oldest = &g_relays[0];
    for (RelayLog &r : g_relays) {
        if (r.last_use != 0 && r.port == port && std::strcmp(r.host, host) == 0) return r;
        if (r.last_use < oldest->last_use) oldest = &r;
    }
    *oldest = RelayLog{};
    std::snprintf(oldest->host, sizeof oldest->host, "%s", host);
    oldest->port = port;
    return *oldest;
}

}  // namespace

FloodCheck flood_check(const char *host, int16_t port, int32_t per_hour, std::time_t now) noexcept {
    if (now < kMinutes) return {true, false, 0, 0, 0};  // no clock: nothing to count by
    const int64_t minute = static_cast<int64_t>(now) / 60;
    std::lock_guard lock(g_lock);
    RelayLog &r = log_of(host, port);
    r.last_use = minute;
    int32_t count = 0;
    int64_t oldest = minute;
    for (const Minute &m : r.minutes) {
        if (m.count == 0 || m.minute <= minute - kMinutes) continue;
        count += m.count;
        if (m.minute < oldest) oldest = m.minute;
    }
    if (per_hour > 0 && count >= per_hour) {
        if (r.missed++ == 0) r.since = now;
        return {false, r.missed == 1, r.missed, r.since,
                static_cast<std::time_t>((oldest + kMinutes) * 60)};
    }
    Minute &m = r.minutes[minute % kMinutes];
    if (m.minute != minute) m = {minute, 0};
    ++m.count;
    const FloodCheck allowed{true, false, r.missed, r.since, 0};
    r.missed = 0;
    return allowed;
}

}  // namespace kavrel
