// The locales the library knows, and times shown as local time in one of
// them.
#pragma once

#include <ctime>

#include "mem.h"

namespace kavrel {

struct LocaleEntry {
    const char *code;     // "de_DE"
    const char *english;  // "German": matched by locale names
    const char *native;   // "Deutsch"
    const char *posix;    // "de_DE.UTF-8": what the platform selects
};

inline constexpr int kTimeBufSize = 64;

const LocaleEntry &locale_entry(const char *name);
const char *locale_code(const char *name);
const char *locale_time_name(const char *name);

// Writes t as "%a %b %d %H:%M:%S %Y" in `locale` (or the current time
// locale when null) into buf (at least 64 bytes), or a relative text when
// the time cannot be shown. The name of the locale it switches from is
// kept in `memory` meanwhile; without memory nothing is switched.
void format_time(const TrackedMemory *memory, const char *locale, const std::time_t *t, char *buf);

}  // namespace kavrel
