#include "timefmt.h"

#include <strings.h>
#include <clocale>
#include <cstdio>
#include <cstring>

#include <locale.h>
#include <array>

#include "mem.h"

namespace kavrel {
namespace {

constexpr std::array<LocaleEntry, 10> kLocales{{
    {"de_DE", "German", "Deutsch", "de_DE.UTF-8"},
    {"en_US", "English", "English", "en_US.UTF-8"},
    {"es_ES", "Spanish", "Espanol", "es_ES.UTF-8"},
    {"fr_FR", "French", "Francais", "fr_FR.UTF-8"},
    {"ja_JP", "Japanese", "?", "ja_JP.UTF-8"},
    {"ko_KR", "Korean", "?", "ko_KR.UTF-8"},
    {"pl_PL", "Polish", "?", "pl_PL.UTF-8"},
    {"pt_PT", "Portuguese", "?", "pt_PT.UTF-8"},
    {"th_TH", "Thai", "?", "th_TH.UTF-8"},
    {"zh_CN", "Chinese", "?", "zh_CN.UTF-8"},
}};
constexpr std::size_t kDefault = 1;

// The platform's locale object of one table entry, made once per process;
// null when the locale is not installed.
locale_t posix_locale(const LocaleEntry &entry) {
    static std::array<locale_t, kLocales.size()> made = [] {
        std::array<locale_t, kLocales.size()> all{};
        for (std::size_t i = 0; i < kLocales.size(); ++i) {
            all[i] = newlocale(LC_TIME_MASK, kLocales[i].posix, static_cast<locale_t>(nullptr));
        }
        return all;
    }();
    return made[static_cast<std::size_t>(&entry - kLocales.data())];
}

// Switches this thread's time locale for one formatting and back.
class TimeLocaleSwitch {
  public:
    TimeLocaleSwitch(KAVREL_CTX *ctx, const char *locale) : ctx_(ctx) {
        if (locale == nullptr || ctx == nullptr) return;
        const char *current = std::setlocale(LC_TIME, nullptr);
        if (current == nullptr) return;
        saved_name_ = mem_strdup(ctx, current);
        if (saved_name_ == nullptr) return;
        locale_t wanted = posix_locale(locale_entry(locale));
        if (wanted != nullptr) saved_ = uselocale(wanted);
    }
    ~TimeLocaleSwitch() {
        if (saved_ != nullptr) uselocale(saved_);
        if (saved_name_ != nullptr) kavrel_dealloc(ctx_, saved_name_);
    }
    TimeLocaleSwitch(const TimeLocaleSwitch &) = delete;
    TimeLocaleSwitch &operator=(const TimeLocaleSwitch &) = delete;

  private:
    KAVREL_CTX *ctx_;
    char *saved_name_ = nullptr;
    locale_t saved_ = nullptr;
};

// The fallback for a time that cannot be shown: how far away it is.
void relative_time(std::time_t t, char *buf) {
    const std::time_t now = std::time(nullptr);
    long long d = 0;
    if (now == static_cast<std::time_t>(-1) || __builtin_sub_overflow(t, now, &d)) {
        std::snprintf(buf, kTimeBufSize, "(time_t=%lld)", static_cast<long long>(t));
        return;
    }
    struct Unit {
        unsigned long long seconds;
        const char *name;
    };
    static constexpr Unit kUnits[] = {
        {86400, "days"}, {3600, "hours"}, {60, "minutes"}, {1, "seconds"}};
    const auto magnitude = static_cast<unsigned long long>(d);
    const unsigned long long span = d < 0 ? 0ull - magnitude : magnitude;
    for (const Unit &unit : kUnits) {
        if (span < unit.seconds && unit.seconds != 1) continue;
        if (d < 0) {
            std::snprintf(buf, kTimeBufSize, "%llu %s ago", span / unit.seconds, unit.name);
        } else {
            std::snprintf(buf, kTimeBufSize, "in %llu %s", span / unit.seconds, unit.name);
        }
        return;
    }
}

}  // namespace

const LocaleEntry &locale_entry(const char *name) {
    if (name == nullptr || *name == '\0') name = std::setlocale(LC_ALL, nullptr);
    if (name == nullptr || *name == '\0') return kLocales[kDefault];
    for (const LocaleEntry &entry : kLocales) {
        if (std::strncmp(name, entry.code, 2) == 0) return entry;
        if (strcasecmp(name, entry.english) == 0) return entry;
    }
    return kLocales[kDefault];
}

const char *locale_code(const char *name) {
    return locale_entry(name).code;
}

const char *locale_time_name(const char *name) {
    return locale_entry(name).english;
}

void format_time(KAVREL_CTX *ctx, const char *locale, const std::time_t *t, char *buf) {
    buf[0] = '\0';
    std::size_t n = 0;
    {
        TimeLocaleSwitch in_locale(ctx, locale);
        struct tm local {};
        if (localtime_r(t, &local) != nullptr) {
            n = std::strftime(buf, kTimeBufSize, "%a %b %d %H:%M:%S %Y", &local);
        }
    }
    if (n == 0) relative_time(*t, buf);
}

}  // namespace kavrel
