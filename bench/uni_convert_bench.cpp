// UTF-16 -> UTF-8 and UTF-8 -> UTF-16 throughput on 64 KiB texts (English
// ASCII, French and German prose, Chinese/Japanese/Korean), side by side
// with ICU's u_strToUTF8 / u_strFromUTF8.
//
// ICU runs twice: on the zero-terminated input (source length -1), which
// like the library has to find the terminator as it goes, and with the
// length given. Bytes processed are the input's bytes; every result is
// checked against ICU's before anything is timed.
#include <benchmark/benchmark.h>
#include <unicode/ustring.h>
#include <unicode/uvernum.h>

#include <cstdio>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "i18n.h"

namespace {

constexpr std::size_t kTextBytes = 64 * 1024;  // UTF-8 size, at most

struct Sample {
    const char *name;
    const char *separator;
    std::vector<const char *> sentences;
};

const Sample kSamples[] = {
    {"ascii",
     " ",
     {"The quick brown fox jumps over the lazy dog near the river bank.",
      "Every configuration file is read once when the service starts.",
      "Messages are looked up by number and composed with their arguments.",
      "Please check the network cable and try the connection again.",
      "The report lists 42 warnings, 3 errors and 118 notes for this build.",
      "A catalogue holds the texts of one component in one language.",
      "Printing was cancelled because the paper tray is empty.",
      "Backups older than 30 days are removed automatically at midnight."}},
    {"latin",
     " ",
     {"L'\xC3\xA9t\xC3\xA9 dernier, nous sommes all\xC3\xA9s \xC3\xA0 la f\xC3\xAAte du "
      "ch\xC3\xA2teau pr\xC3\xA8s de la for\xC3\xAAt.",
      "Le d\xC3\xA9put\xC3\xA9 a pr\xC3\xA9sent\xC3\xA9 un \xC3\xA9l\xC3\xA9ment tr\xC3\xA8s "
      "int\xC3\xA9ressant \xC3\xA0 l'assembl\xC3\xA9"
      "e g\xC3\xA9n\xC3\xA9rale.",
      "O\xC3\xB9 \xC3\xAAtes-vous n\xC3\xA9 ? \xC3\x80 Gen\xC3\xA8ve, o\xC3\xB9 mon p\xC3\xA8re "
      "\xC3\xA9tait t\xC3\xA9l\xC3\xA9graphiste.",
      "La soci\xC3\xA9t\xC3\xA9 a cr\xC3\xA9\xC3\xA9 un syst\xC3\xA8me de s\xC3\xA9"
      "curit\xC3\xA9 "
      "r\xC3\xA9serv\xC3\xA9 aux employ\xC3\xA9s.",
      "Die Gr\xC3\xB6\xC3\x9F"
      "e der Fl\xC3\xA4"
      "che wird sp\xC3\xA4ter f\xC3\xBCr die "
      "B\xC3\xBCrger \xC3\xBC"
      "berpr\xC3\xBC"
      "ft.",
      "\xC3\x9C"
      "ber die Br\xC3\xBC"
      "cke f\xC3\xA4hrt t\xC3\xA4glich ein Zug mit "
      "sch\xC3\xB6nen Wagen.",
      "F\xC3\xBCr \xC3\x84nderungen an den Geb\xC3\xBChren ist die Beh\xC3\xB6rde "
      "zust\xC3\xA4ndig.",
      "Bitte w\xC3\xA4hlen Sie eine g\xC3\xBCltige Schriftart f\xC3\xBCr den Bericht aus."}},
    {"cjk",
     "",
     {"\xE4\xBB\x8A\xE5\xA4\xA9\xE7\x9A\x84\xE5\xA4\xA9\xE6\xB0\x94\xE5\xBE\x88\xE5\xA5\xBD"
      "\xEF\xBC\x8C\xE6\x88\x91\xE4\xBB\xAC\xE4\xB8\x80\xE8\xB5\xB7\xE5\x8E\xBB\xE5\x85\xAC"
      "\xE5\x9B\xAD\xE6\x95\xA3\xE6\xAD\xA5\xE5\x90\xA7\xE3\x80\x82",
      "\xE8\xBF\x99\xE4\xB8\xAA\xE7\xA8\x8B\xE5\xBA\x8F\xE5\x8F\xAF\xE4\xBB\xA5\xE6\x8A\x8A"
      "\xE6\x96\x87\xE6\x9C\xAC\xE4\xBB\x8E\xE4\xB8\x80\xE7\xA7\x8D\xE7\xBC\x96\xE7\xA0\x81"
      "\xE8\xBD\xAC\xE6\x8D\xA2\xE6\x88\x90\xE5\x8F\xA6\xE4\xB8\x80\xE7\xA7\x8D\xE7\xBC\x96"
      "\xE7\xA0\x81\xE3\x80\x82",
      "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE3\x83\x86\xE3\x82\xAD\xE3\x82\xB9"
      "\xE3\x83\x88\xE3\x82\x92\xE5\xA4\x89\xE6\x8F\x9B\xE3\x81\x99\xE3\x82\x8B\xE9\x80\x9F"
      "\xE5\xBA\xA6\xE3\x82\x92\xE6\xB8\xAC\xE5\xAE\x9A\xE3\x81\x97\xE3\x81\xBE\xE3\x81\x99"
      "\xE3\x80\x82",
      "\xE6\x9D\xB1\xE4\xBA\xAC\xE9\x83\xBD\xE3\x81\xAE\xE4\xBA\xBA\xE5\x8F\xA3\xE3\x81\xAF"
      "\xE7\xB4\x84"
      "1400"
      "\xE4\xB8\x87\xE4\xBA\xBA\xE3\x81\xA7\xE3\x80\x81\xE6\x97\xA5\xE6\x9C\xAC\xE3\x81\xA7"
      "\xE6\x9C\x80\xE3\x82\x82\xE5\xA4\x9A\xE3\x81\x84\xE3\x80\x82",
      "\xE8\xAF\xB7\xE5\x9C\xA8\xE4\xB8\x8B\xE9\x9D\xA2\xE7\x9A\x84\xE8\xBE\x93\xE5\x85\xA5"
      "\xE6\xA1\x86\xE4\xB8\xAD\xE8\xBE\x93\xE5\x85\xA5\xE6\x82\xA8\xE7\x9A\x84\xE7\x94\xA8"
      "\xE6\x88\xB7\xE5\x90\x8D\xE5\x92\x8C\xE5\xAF\x86\xE7\xA0\x81\xE3\x80\x82",
      "\xE3\x81\x93\xE3\x81\xAE\xE3\x83\x95\xE3\x82\xA1\xE3\x82\xA4\xE3\x83\xAB\xE3\x81\xAF"
      "\xE8\xAA\xAD\xE3\x81\xBF\xE5\x8F\x96\xE3\x82\x8A\xE5\xB0\x82\xE7\x94\xA8\xE3\x81\xAE"
      "\xE3\x81\x9F\xE3\x82\x81\xE3\x80\x81\xE4\xBF\x9D\xE5\xAD\x98\xE3\x81\xA7\xE3\x81\x8D"
      "\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80\x82",
      "\xEC\x84\x9C\xEC\x9A\xB8\xEC\x9D\x80 \xEB\x8C\x80\xED\x95\x9C\xEB\xAF\xBC\xEA\xB5\xAD"
      "\xEC\x9D\x98 \xEC\x88\x98\xEB\x8F\x84\xEC\x9D\xB4\xEB\xA9\xB0 \xEA\xB0\x80\xEC\x9E\xA5 "
      "\xED\x81\xB0 \xEB\x8F\x84\xEC\x8B\x9C\xEC\x9E\x85\xEB\x8B\x88\xEB\x8B\xA4.",
      "\xE7\xB3\xBB\xE7\xBB\x9F\xE5\xB0\x86\xE5\x9C\xA8"
      "2024"
      "\xE5\xB9\xB4"
      "12"
      "\xE6\x9C\x88"
      "31"
      "\xE6\x97\xA5\xE8\xBF\x9B\xE8\xA1\x8C\xE7\xBB\xB4\xE6\x8A\xA4\xEF\xBC\x8C\xE8\xAF\xB7"
      "\xE6\x8F\x90\xE5\x89\x8D\xE4\xBF\x9D\xE5\xAD\x98\xE6\x95\xB0\xE6\x8D\xAE\xE3\x80\x82"}},
};

struct Text {
    std::string utf8;
    std::u16string utf16;
    std::string label;
};

std::u16string icu_utf16(const std::string &s) {
    std::u16string out(s.size() + 1, u'\0');
    int32_t length = 0;
    UErrorCode err = U_ZERO_ERROR;
    u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &length, s.data(),
                  static_cast<int32_t>(s.size()), &err);
    if (U_FAILURE(err)) throw std::runtime_error("ICU rejects a sample text");
    out.resize(static_cast<std::size_t>(length));
    return out;
}

// Sentences in a fixed pseudo-random order up to kTextBytes of UTF-8.
Text make_text(const Sample &sample) {
    Text t;
    std::mt19937 rng(2024);
    for (;;) {
        std::string next = sample.sentences[rng() % sample.sentences.size()];
        if (!t.utf8.empty()) next.insert(0, sample.separator);
        if (t.utf8.size() + next.size() > kTextBytes) break;
        t.utf8 += next;
    }
    t.utf16 = icu_utf16(t.utf8);
    std::size_t characters = 0, ascii = 0;
    for (char c : t.utf8) {
        const auto b = static_cast<unsigned char>(c);
        characters += (b & 0xC0) != 0x80;
        ascii += b < 0x80;
    }
    char label[64];
    std::snprintf(
        label, sizeof label, "%.1f%% non-ASCII characters",
        100.0 * static_cast<double>(characters - ascii) / static_cast<double>(characters));
    t.label = label;
    return t;
}

int32_t size32(std::size_t n) {
    return static_cast<int32_t>(n);
}

// The library's output in both directions against ICU's, before timing.
void verify(const Text &t, const char *name) {
    std::vector<char> utf8(t.utf8.size() + 1);
    if (uniutf8_unistrToUTF8(utf8.data(), size32(utf8.size()), t.utf16.c_str(), nullptr) !=
            size32(t.utf8.size()) ||
        t.utf8 != utf8.data()) {
        throw std::runtime_error(std::string("uniutf8_unistrToUTF8 differs from ICU on ") + name);
    }
    std::vector<char16_t> utf16(t.utf16.size() + 1);
    int32_t written = 0;
    if (uniutf8_utf8ToUnistr(utf16.data(), size32(utf16.size()), t.utf8.c_str(), nullptr,
                             &written) != 0 ||
        t.utf16 != utf16.data()) {
        throw std::runtime_error(std::string("uniutf8_utf8ToUnistr differs from ICU on ") + name);
    }
}

void to_utf8_kavrel(benchmark::State &state, const Text *t) {
    std::vector<char> out(t->utf8.size() + 1);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            uniutf8_unistrToUTF8(out.data(), size32(out.size()), t->utf16.c_str(), nullptr));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * size32(t->utf16.size() * 2));
    state.SetLabel(t->label);
}

void to_utf8_icu(benchmark::State &state, const Text *t, bool with_length) {
    std::vector<char> out(t->utf8.size() + 1);
    const int32_t source_length = with_length ? size32(t->utf16.size()) : -1;
    for (auto _ : state) {
        int32_t length = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strToUTF8(out.data(), size32(out.size()), &length, t->utf16.c_str(), source_length, &err);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * size32(t->utf16.size() * 2));
    state.SetLabel(t->label);
}

void from_utf8_kavrel(benchmark::State &state, const Text *t) {
    std::vector<char16_t> out(t->utf16.size() + 1);
    int32_t written = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(uniutf8_utf8ToUnistr(out.data(), size32(out.size()),
                                                      t->utf8.c_str(), nullptr, &written));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * size32(t->utf8.size()));
    state.SetLabel(t->label);
}

void from_utf8_icu(benchmark::State &state, const Text *t, bool with_length) {
    std::vector<char16_t> out(t->utf16.size() + 1);
    const int32_t source_length = with_length ? size32(t->utf8.size()) : -1;
    for (auto _ : state) {
        int32_t length = 0;
        UErrorCode err = U_ZERO_ERROR;
        u_strFromUTF8(out.data(), size32(out.size()), &length, t->utf8.c_str(), source_length,
                      &err);
        benchmark::DoNotOptimize(length);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * size32(t->utf8.size()));
    state.SetLabel(t->label);
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("icu", U_ICU_VERSION);
    std::vector<Text> texts;
    try {
        for (const Sample &s : kSamples) {
            texts.push_back(make_text(s));
            verify(texts.back(), s.name);
        }
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const Text *t = &texts[i];
            const std::string to = std::string("to_utf8/") + kSamples[i].name;
            benchmark::RegisterBenchmark((to + "/kavrel").c_str(), to_utf8_kavrel, t);
            benchmark::RegisterBenchmark((to + "/icu").c_str(), to_utf8_icu, t, false);
            benchmark::RegisterBenchmark((to + "/icu_length").c_str(), to_utf8_icu, t, true);
        }
        for (std::size_t i = 0; i < texts.size(); ++i) {
            const Text *t = &texts[i];
            const std::string from = std::string("from_utf8/") + kSamples[i].name;
            benchmark::RegisterBenchmark((from + "/kavrel").c_str(), from_utf8_kavrel, t);
            benchmark::RegisterBenchmark((from + "/icu").c_str(), from_utf8_icu, t, false);
            benchmark::RegisterBenchmark((from + "/icu_length").c_str(), from_utf8_icu, t, true);
        }
        benchmark::RunSpecifiedBenchmarks();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "uni_convert_bench: %s\n", e.what());
        return 1;
    }
    benchmark::Shutdown();
    return 0;
}
