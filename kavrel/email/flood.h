// Flood control: how many reports each relay (host and port) was sent over
// the last hour, counted by the minute for the whole process, so that a
// product failing in a loop, or making a context per job, mails a bounded
// number of them.
#pragma once

#include <cstdint>
#include <ctime>

namespace kavrel {

struct FloodCheck {
    bool allowed;
    bool first_refusal;  // the first report refused since the last one mailed
    int32_t missed;      // reports refused since `since`: to be told in an allowed mail
    std::time_t since;
    std::time_t until;  // when a refused report could have been mailed
};

// Whether a report to host:port may be mailed at `now` with at most
// `per_hour` an hour (0: no limit); an allowed one is counted.
FloodCheck flood_check(const char *host, int16_t port, int32_t per_hour, std::time_t now) noexcept;

}  // namespace kavrel
