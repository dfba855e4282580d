#include "timefmt.h"

#include <strings.h>
#include <cstdio>
#include <cstring>

#include <array>

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
PlatLocale posix_locale(const LocaleEntry &entry) {
    static const std::array<PlatLocale, kLocales.size()> made = [] {
        std::array<PlatLocale, kLocales.size()> all{};
        for (std::size_t i = 0; i < kLocales.size(); ++i) {
            all[i] = plat_locale_make(kLocales[i].english, kLocales[i].posix);
        }
        return all;
    }();
    return made[static_cast<std::size_t>(&entry - kLocales.data())];
}

// The name of the time locale switched from, kept in tracked memory for
// the one formatting: the switch is made only when it could be kept.
class SavedName {
  public:
    SavedName(const TrackedMemory *memory, const char *locale) : memory_(memory) {
        if (locale == nullptr || memory == nullptr) return;
        const char *current = plat_locale_name(true);
        if (current != nullptr) name_ = tracked_strdup(*memory, current);
    }
    ~SavedName() {
        if (name_ != nullptr) tracked_free(*memory_, name_);
    }
    SavedName(const SavedName &) = delete;
    SavedName &operator=(const SavedName &) = delete;
    bool kept() const { return name_ != nullptr; }

  private:
    const TrackedMemory *memory_;
    char *name_ = nullptr;
};

// The fallback for a time that cannot be shown: how far away it is.
void relative_time(std::time_t t, char *buf) {
    const std::time_t now = plat_time();
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
    if (name == nullptr || *name == '\0') name = plat_locale_name(false);
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

void format_time(const TrackedMemory *memory, const char *locale, const std::time_t *t, char *buf) {
    buf[0] = '\0';
    std::size_t n = 0;
    {
        SavedName saved(memory, locale);
        PlatTimeLocale in_locale(saved.kept() ? posix_locale(locale_entry(locale)) : nullptr);
        struct tm local {};
        if (plat_localtime(*t, &local)) {
            n = std::strftime(buf, kTimeBufSize, "%a %b %d %H:%M:%S %Y", &local);
        }
    }
    if (n == 0) relative_time(*t, buf);
}

}  // namespace kavrel
