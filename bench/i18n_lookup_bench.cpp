// Message lookup by number in catalogues of 10, 1,000 and 10,000 entries,
// side by side with glibc catgets() on a gencat catalogue and GNU gettext
// dgettext() on a msgfmt catalogue of the same German messages.
//
// All catalogues are generated at start-up in a temporary directory and
// every message is looked up through all three before anything is timed.
// Each iteration is one lookup; the numbers come from a fixed pseudo-random
// sequence, the same for every peer.
#include <benchmark/benchmark.h>
#include <libintl.h>
#include <nl_types.h>
#include <stdlib.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "i18n.h"
#include "lcu_compile.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFirstNumber = 131072;
constexpr int kSizes[] = {10, 1000, 10000};
constexpr std::size_t kSequence = 4096;  // lookups before the sequence repeats

[[noreturn]] void fail(const std::string &what) {
    throw std::runtime_error(what);
}

struct Message {
    uint32_t number;
    std::string english;  // the gettext key
    std::string german;   // the text every peer returns
};

// English and German phrases; {} takes the message's index, which keeps
// every English text distinct.
constexpr const char *kPhrases[][2] = {
    {"Cannot open the file 'data-{}.csv' for reading.",
     "Die Datei 'data-{}.csv' kann nicht zum Lesen ge\xC3\xB6"
     "ffnet werden."},
    {"Connection to server {} was closed unexpectedly.",
     "Die Verbindung zu Server {} wurde unerwartet geschlossen."},
    {"The value %1 in field {} is larger than allowed.",
     "Der Wert %1 in Feld {} ist gr\xC3\xB6\xC3\x9F"
     "er als erlaubt."},
    {"Failed to allocate %1 bytes for buffer {}.",
     "F\xC3\xBCr Puffer {} konnten %1 Bytes nicht zugeteilt werden."},
    {"User %1 has no permission to change record {}.",
     "Benutzer %1 hat keine Berechtigung, Datensatz {} zu \xC3\xA4ndern."},
    {"Printer {} is not ready; the job is waiting in the queue.",
     "Drucker {} ist nicht bereit; der Auftrag wartet in der Warteschlange."},
    {"Backup {} finished with %1 warnings and %2 errors.",
     "Sicherung {} wurde mit %1 Warnungen und %2 Fehlern beendet."},
    {"Please enter a date between %1 and %2 (step {}).",
     "Bitte geben Sie ein Datum zwischen %1 und %2 ein (Schritt {})."},
};

std::string fill(std::string text, int index) {
    return text.replace(text.find("{}"), 2, std::to_string(index));
}

std::vector<Message> make_messages(int count) {
    std::vector<Message> messages;
    for (int i = 0; i < count; ++i) {
        const auto &phrase = kPhrases[static_cast<std::size_t>(i) % std::size(kPhrases)];
        messages.push_back(
            {kFirstNumber + static_cast<uint32_t>(i), fill(phrase[0], i), fill(phrase[1], i)});
    }
    return messages;
}

std::u16string to_utf16(const std::string &s) {
    std::u16string out(s.size() + 1, u'\0');
    const int32_t n =
        uniutf8_utf8ToUnistrCount(out.data(), static_cast<int32_t>(out.size()), s.c_str(), nullptr);
    if (n < 0) fail("cannot convert '" + s + "' to UTF-16");
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// The peers' catalogue compilers, where the build found them; a peer
// without one is left out of the comparison.
#ifdef KAVREL_GENCAT
constexpr const char *kGencat = KAVREL_GENCAT;
#else
constexpr const char *kGencat = nullptr;
#endif
#ifdef KAVREL_MSGFMT
constexpr const char *kMsgfmt = KAVREL_MSGFMT;
#else
constexpr const char *kMsgfmt = nullptr;
#endif

void write_file(const fs::path &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary);
    if (!f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
        fail("cannot write " + path.string());
    }
}

void run(const std::string &command) {
    if (std::system(command.c_str()) != 0) fail("command failed: " + command);
}

std::string po_quoted(const std::string &s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + '"';
}

// One size: the messages, the three catalogues and the lookup sequence.
struct Fixture {
    std::vector<Message> messages;
    std::string domain;         // gettext
    nl_catd catalog = nullptr;  // catgets
    I18N_HANDLE *handle = nullptr;
    std::vector<std::size_t> sequence;  // indices into messages
};

void build_kavrel(Fixture &f, const fs::path &dir) {
    std::vector<lcu::Message> source;
    for (const Message &m : f.messages) source.push_back({m.number, to_utf16(m.german), 0});
    write_file(dir / (f.domain + ".lcu"), lcu::build_catalogue(source, u"bench"));
    I18N_FILE_SPEC spec;
    i18nuni_FileSpecInit(&spec);
    spec.location = I18N_LOC_DIR;
    const std::u16string dir16 = to_utf16(dir.string()), name16 = to_utf16(f.domain);
    if (i18nuni_HandleGet(u"bench", dir16.c_str(), name16.c_str(), &spec, &f.handle) != 1 ||
        i18nuni_FileOpen(f.handle, I18N_MODE_READ) != 1) {
        fail("cannot open " + (dir / (f.domain + ".lcu")).string());
    }
}

void build_catgets(Fixture &f, const fs::path &dir) {
    std::string source = "$set 1\n";
    for (const Message &m : f.messages) source += std::to_string(m.number) + ' ' + m.german + '\n';
    const fs::path msg = dir / (f.domain + ".msg"), cat = dir / (f.domain + ".cat");
    write_file(msg, source);
    run(std::string("LC_ALL=C.UTF-8 '") + kGencat + "' '" + cat.string() + "' '" + msg.string() +
        "'");
    f.catalog = catopen(cat.c_str(), 0);
    if (f.catalog == reinterpret_cast<nl_catd>(intptr_t{-1})) fail("catopen " + cat.string());
}

void build_gettext(Fixture &f, const fs::path &dir) {
    std::string po =
        "msgid \"\"\nmsgstr \"\"\n\"MIME-Version: 1.0\\n\"\n"
        "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
        "\"Content-Transfer-Encoding: 8bit\\n\"\n";
    for (const Message &m : f.messages) {
        po += "\nmsgid " + po_quoted(m.english) + "\nmsgstr " + po_quoted(m.german) + '\n';
    }
    const fs::path locale = dir / "locale", messages = locale / "de_DE" / "LC_MESSAGES";
    fs::create_directories(messages);
    const fs::path po_file = dir / (f.domain + ".po");
    write_file(po_file, po);
    run(std::string("'") + kMsgfmt + "' -o '" + (messages / (f.domain + ".mo")).string() + "' '" +
        po_file.string() + "'");
    bindtextdomain(f.domain.c_str(), locale.c_str());
    bind_textdomain_codeset(f.domain.c_str(), "UTF-8");
}

// Every message through every peer, before anything is timed.
void verify(const Fixture &f) {
    char16_t out[256];
    for (const Message &m : f.messages) {
        const std::string where = f.domain + ", message " + std::to_string(m.number) + ": ";
        const int32_t r =
            i18nuni_LookupByKeyNum(f.handle, static_cast<int32_t>(m.number), out, 256);
        if (r != 1 || out != to_utf16(m.german)) fail(where + "kavrel lookup gave the wrong text");
        const char *cat = kGencat ? catgets(f.catalog, 1, static_cast<int>(m.number), "") : "";
        if (kGencat && m.german != cat) fail(where + "catgets gave '" + cat + "'");
        const char *text = kMsgfmt ? dgettext(f.domain.c_str(), m.english.c_str()) : "";
        if (kMsgfmt && m.german != text) {
            fail(where + "dgettext gave '" + text +
                 "' instead of the German text; is the de_DE.UTF-8 locale installed?");
        }
    }
}

Fixture make_fixture(int size, const fs::path &dir) {
    Fixture f;
    f.messages = make_messages(size);
    f.domain = "kavrel" + std::to_string(size);
    build_kavrel(f, dir);
    if (kGencat) build_catgets(f, dir);
    if (kMsgfmt) build_gettext(f, dir);
    verify(f);
    std::mt19937 rng(static_cast<unsigned>(size));
    std::uniform_int_distribution<std::size_t> pick(0, f.messages.size() - 1);
    for (std::size_t i = 0; i < kSequence; ++i) f.sequence.push_back(pick(rng));
    return f;
}

void bm_kavrel(benchmark::State &state, const Fixture *f) {
    std::vector<int32_t> numbers;
    for (std::size_t i : f->sequence)
        numbers.push_back(static_cast<int32_t>(f->messages[i].number));
    I18N_HANDLE *const handle = f->handle;  // held in a variable, as a product would
    char16_t out[256];
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(i18nuni_LookupByKeyNum(handle, numbers[i], out, 256));
        i = (i + 1) % kSequence;
    }
    state.SetItemsProcessed(state.iterations());
}

void bm_catgets(benchmark::State &state, const Fixture *f) {
    std::vector<int> numbers;
    for (std::size_t i : f->sequence) numbers.push_back(static_cast<int>(f->messages[i].number));
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(catgets(f->catalog, 1, numbers[i], ""));
        i = (i + 1) % kSequence;
    }
    state.SetItemsProcessed(state.iterations());
}

// catgets hands out a pointer into its catalogue; a product that keeps or
// edits the text copies it, as our lookup always does.
void bm_catgets_copy(benchmark::State &state, const Fixture *f) {
    std::vector<int> numbers;
    for (std::size_t i : f->sequence) numbers.push_back(static_cast<int>(f->messages[i].number));
    char out[512];
    std::size_t i = 0;
    for (auto _ : state) {
        const char *text = catgets(f->catalog, 1, numbers[i], "");
        std::memcpy(out, text, std::strlen(text) + 1);
        benchmark::DoNotOptimize(out);
        i = (i + 1) % kSequence;
    }
    state.SetItemsProcessed(state.iterations());
}

void bm_dgettext(benchmark::State &state, const Fixture *f) {
    std::vector<const char *> keys;
    for (std::size_t i : f->sequence) keys.push_back(f->messages[i].english.c_str());
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dgettext(f->domain.c_str(), keys[i]));
        i = (i + 1) % kSequence;
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    // gettext translates only under a locale other than C; LANGUAGE would
    // take precedence over it.
    if (kMsgfmt && std::setlocale(LC_MESSAGES, "de_DE.UTF-8") == nullptr) {
        std::fprintf(stderr, "i18n_lookup_bench: the de_DE.UTF-8 locale is not installed\n");
        return 1;
    }
    setenv("LANGUAGE", "de_DE", 1);

    try {
        const TempDir dir;
        std::vector<Fixture> fixtures;
        for (int size : kSizes) fixtures.push_back(make_fixture(size, dir.path()));
        for (const Fixture &f : fixtures) {
            const std::string name = "lookup/" + std::to_string(f.messages.size());
            benchmark::RegisterBenchmark((name + "/kavrel").c_str(), bm_kavrel, &f);
            if (kGencat) {
                benchmark::RegisterBenchmark((name + "/catgets").c_str(), bm_catgets, &f);
                benchmark::RegisterBenchmark((name + "/catgets_copy").c_str(), bm_catgets_copy, &f);
            }
            if (kMsgfmt)
                benchmark::RegisterBenchmark((name + "/dgettext").c_str(), bm_dgettext, &f);
        }
        benchmark::RunSpecifiedBenchmarks();
        for (const Fixture &f : fixtures)
            if (f.catalog != nullptr) catclose(f.catalog);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "i18n_lookup_bench: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
