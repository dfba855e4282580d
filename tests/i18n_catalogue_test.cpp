// Catalogue files: loading, the file cache, open modes and lookup.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "i18n.h"
#include "i18n_catalogue.h"
#include "lcu_compile.h"
#include "temp_dir.h"

namespace {

// Catalogue bytes laid out by hand, so that tests can break any field.
struct RawEntry {
    uint32_t offset;
    uint16_t key_length, value_length;
    uint8_t state = 1;
};

struct RawCatalogue {
    uint16_t entry_count = 0, first_entry = 0;
    std::vector<RawEntry> entries;  // entry n goes to page n / 64, slot n % 64
    std::string names, strings;

    // Adds key and value to the strings and an entry in use for them.
    RawCatalogue &add(std::u16string_view key, std::u16string_view value, uint8_t state = 1) {
        entries.push_back(
            {uint32_t(strings.size()), uint16_t(key.size()), uint16_t(value.size()), state});
        text(key), text(value);
        if (state == 1) ++entry_count;
        return *this;
    }
    void text(std::u16string_view s) {
        for (char16_t c : s) put16(strings, c);
        put16(strings, 0);
    }
    static void put16(std::string &s, uint32_t v) {
        s.push_back(char(v >> 8)), s.push_back(char(v & 0xFF));
    }
    static void put32(std::string &s, uint32_t v) { put16(s, v >> 16), put16(s, v & 0xFFFF); }

    std::string bytes() const {
        const std::size_t page_count = (entries.size() + 63) / 64;
        std::string pages(page_count * 768, '\0');
        for (std::size_t n = 0; n < entries.size(); ++n) {
            std::string e;
            put32(e, entries[n].offset);
            put16(e, entries[n].key_length);
            put16(e, entries[n].value_length);
            put16(e, 0);
            e.push_back(char(n % 64)), e.push_back(char(entries[n].state));
            pages.replace((n / 64) * 768 + (n % 64) * 12, 12, e);
        }
        std::string h = "LOCF";
        put16(h, 1), put16(h, 0xFEFF);
        h.resize(96, '\0');
        put16(h, entry_count), put16(h, uint16_t(page_count));
        const auto names_end = uint32_t(pages.size() + names.size());
        put32(h, uint32_t(pages.size())), put32(h, names_end);
        put32(h, strings.empty() ? names_end : uint32_t(names_end + strings.size() - 1));
        put16(h, 0), put16(h, 0), put16(h, 0), put16(h, first_entry);
        h.resize(128, '\0');
        return h + pages + names + strings;
    }
};

void patch16(std::string &b, std::size_t at, uint32_t v) {
    b[at] = char(v >> 8), b[at + 1] = char(v & 0xFF);
}
void patch32(std::string &b, std::size_t at, uint32_t v) {
    patch16(b, at, v >> 16), patch16(b, at + 2, v & 0xFFFF);
}

class Catalogues : public testing::Test {
  protected:
    // A handle for dir/name.lcu, given by directory (location 2).
    I18N_HANDLE *handle(const std::u16string &name) {
        I18N_FILE_SPEC spec;
        i18nuni_FileSpecInit(&spec);
        spec.location = I18N_LOC_DIR;
        I18N_HANDLE *h = nullptr;
        EXPECT_EQ(i18nuni_HandleGet(u"comp", dir_.u16().c_str(), name.c_str(), &spec, &h), 1);
        return h;
    }
    I18N_HANDLE *opened(const std::string &name, const std::string &bytes) {
        dir_.write(name + ".lcu", bytes);
        I18N_HANDLE *h = handle(std::u16string(name.begin(), name.end()));
        EXPECT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), 1);
        return h;
    }
    static std::u16string lookup(I18N_HANDLE *h, const char16_t *key, int32_t *result,
                                 int32_t capacity = 64) {
        char16_t out[64] = {};
        *result = i18nuni_LookupByKey(h, key, out, capacity);
        return out;
    }
    static std::string compiled(const char *source) {
        std::vector<lcu::Message> messages;
        std::string error;
        EXPECT_TRUE(lcu::parse_source(source, messages, error)) << error;
        return lcu::build_catalogue(messages, u"test");
    }

    TempDir dir_;
};

TEST_F(Catalogues, CompiledCatalogueAnswersByNumber) {
    I18N_HANDLE *h = opened("msgs", compiled("131234 Wert %1 zu gro\xC3\x9F\n1 eins\n"));
    char16_t out[64];
    EXPECT_EQ(i18nuni_LookupByKeyNum(h, 131234, out, 64), 1);
    EXPECT_EQ(std::u16string(out), u"Wert %1 zu gro\u00DF");
    EXPECT_EQ(i18nuni_LookupByKeyNum(h, 1, out, 64), 1);
    EXPECT_EQ(std::u16string(out), u"eins");
    int32_t result = 0;
    EXPECT_EQ(lookup(h, u"00000001", &result), u"eins");
    EXPECT_EQ(i18nuni_LookupByKeyNum(h, 2, out, 64), -469);
    EXPECT_EQ(i18nuni_LookupByKey(h, u"00000001x", out, 64), -469);
}

TEST_F(Catalogues, ValueMustFitWithItsTerminator) {
    I18N_HANDLE *h = opened("fit", RawCatalogue().add(u"k", u"abcd").bytes());
    int32_t result = 0;
    EXPECT_EQ(lookup(h, u"k", &result, 5), u"abcd");
    EXPECT_EQ(result, 1);
    lookup(h, u"k", &result, 4);
    EXPECT_EQ(result, -468);
    char16_t out[1];
    EXPECT_EQ(i18nuni_LookupByKey(h, u"k", nullptr, 5), -468);
    EXPECT_EQ(i18nuni_LookupByKey(h, u"k", out, 0), -468);
    EXPECT_EQ(i18nuni_LookupByKey(h, u"k", out, -1), -468);
    EXPECT_EQ(i18nuni_LookupByKey(h, u"k", out, INT32_MIN), -468);  // capacity - 1 overflowed
}

TEST_F(Catalogues, LookupChecksItsArguments) {
    dir_.write("closed.lcu", RawCatalogue().add(u"k", u"v").bytes());
    I18N_HANDLE *h = handle(u"closed");
    char16_t out[8];
    EXPECT_EQ(i18nuni_LookupByKey(nullptr, u"k", out, 8), -456);
    EXPECT_EQ(i18nuni_LookupByKey(h, u"k", out, 8), -462);  // not open yet
    ASSERT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), 1);
    EXPECT_EQ(i18nuni_LookupByKey(h, nullptr, out, 8), -460);
    EXPECT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), -465);
    EXPECT_EQ(i18nuni_FileOpen(nullptr, I18N_MODE_READ), -456);
}

// The walk: from the first entry on, entries in use only, at most the entry
// count of them, the first equal key wins.
TEST_F(Catalogues, LookupKeepsTheResultOfTheWalk) {
    RawCatalogue c;
    c.add(u"a", u"skipped").add(u"b", u"first b").add(u"x", u"free", 0).add(u"b", u"second b");
    c.add(u"c", u"c").add(u"d", u"beyond the count");
    c.first_entry = 1;
    c.entry_count = 3;  // b, b, c
    I18N_HANDLE *h = opened("walk", c.bytes());
    int32_t result = 0;
    EXPECT_EQ(lookup(h, u"b", &result), u"first b");
    lookup(h, u"a", &result);
    EXPECT_EQ(result, -469);  // before the first entry
    lookup(h, u"x", &result);
    EXPECT_EQ(result, -469);  // free
    EXPECT_EQ(lookup(h, u"c", &result), u"c");
    lookup(h, u"d", &result);
    EXPECT_EQ(result, -469);  // past the entry count
}

// By number, exactly the entry that its eight-digit key text finds.
TEST_F(Catalogues, LookupByNumberAgreesWithTheKeyText) {
    RawCatalogue c;
    c.add(u"000200a2", u"lower-case digits").add(u"000200A2", u"first");
    c.add(u"000200A2", u"second").add(u"1", u"short key").add(u"0000000G", u"not hex");
    c.add(u"FFFFFFFF", u"minus one");
    I18N_HANDLE *h = opened("bynumber", c.bytes());
    struct {
        int32_t number, result;
        std::u16string text;
    } cases[] = {{131234, 1, u"first"}, {1, -469, u""}, {16, -469, u""}, {-1, 1, u"minus one"}};
    for (const auto &k : cases) {
        char16_t out[32] = {};
        EXPECT_EQ(i18nuni_LookupByKeyNum(h, k.number, out, 32), k.result) << k.number;
        EXPECT_EQ(std::u16string(out), k.text);
    }
    RawCatalogue none;
    none.add(u"00000001", u"v");
    none.entry_count = 0;  // strings, but nothing to index
    char16_t out[4];
    EXPECT_EQ(i18nuni_LookupByKeyNum(opened("nonumbers", none.bytes()), 1, out, 4), -469);
    EXPECT_EQ(i18nuni_LookupByKeyNum(h, 131234, out, 4), -468);
    EXPECT_EQ(i18nuni_LookupByKeyNum(nullptr, 1, out, 4), -456);
    EXPECT_EQ(i18nuni_LookupByKeyNum(handle(u"bynumber"), 1, out, 4), -462);
}

// Numbers in one run with gaps are kept in a table from the smallest; the
// numbers around it, in its gaps and far off must miss, whatever the text
// length (one unit up to past the copy's wide moves).
TEST_F(Catalogues, LookupByNumberInARunWithGaps) {
    RawCatalogue c;
    std::vector<std::pair<int32_t, std::u16string>> held;
    for (int32_t n = 0x20000; n < 0x20000 + 200; n += 1 + n % 3) {
        held.emplace_back(n, std::u16string(std::size_t(1 + n % 150), char16_t(u'a' + n % 26)));
        char key[9];
        std::snprintf(key, sizeof key, "%08X", unsigned(n));
        c.add(std::u16string(key, key + 8), held.back().second);
    }
    I18N_HANDLE *h = opened("run", c.bytes());
    for (const auto &[number, text] : held) {
        char16_t out[160];
        ASSERT_EQ(i18nuni_LookupByKeyNum(h, number, out, 160), 1) << number;
        EXPECT_EQ(std::u16string(out), text) << number;
    }
    for (int32_t miss : {0x1FFFF, 0x20002, 0x20000 + 200, 0, -1, INT32_MIN}) {
        char16_t out[4];
        EXPECT_EQ(i18nuni_LookupByKeyNum(h, miss, out, 4), -469) << miss;
    }
}

// Entries whose texts overlap would multiply the text if each were copied;
// such a file is read as it is, and finds what the walk finds.
TEST_F(Catalogues, OverlappingEntriesAreFoundInPlace) {
    RawCatalogue c;
    c.strings.assign(2 * 3000, '\0');
    for (std::size_t i = 0; i < 3000; ++i) c.strings[2 * i + 1] = char('0' + i % 10);
    for (uint16_t i = 0; i < 300; ++i) {
        c.entries.push_back({2u * i, 8, uint16_t(2000)});  // keys "0123..." from unit i
        ++c.entry_count;
    }
    I18N_HANDLE *h = opened("overlap", c.bytes());
    for (int i : {0, 1, 150, 299}) {
        std::u16string key, value;
        for (int k = 0; k < 8; ++k) key += char16_t(u'0' + (i + k) % 10);
        for (int k = 0; k < 2000; ++k) value += char16_t(u'0' + (i + 9 + k) % 10);
        std::vector<char16_t> out(2001);
        ASSERT_EQ(i18nuni_LookupByKey(h, key.c_str(), out.data(), 2001), 1) << i;
        EXPECT_EQ(std::u16string(out.data()), value) << i;
    }
}

TEST_F(Catalogues, WalkCrossesPagesAndStopsAtTheirEnd) {
    RawCatalogue c;
    for (int i = 0; i < 70; ++i)
        c.add(u"k" + std::u16string(1, char16_t(u'A' + i % 26)) +
                  std::u16string(1, char16_t(u'0' + i / 26)),
              u"v");
    c.add(u"last", u"on page 1");
    c.first_entry = 60;
    c.entry_count = 500;  // more than there are: the pages end first
    I18N_HANDLE *h = opened("pages", c.bytes());
    int32_t result = 0;
    EXPECT_EQ(lookup(h, u"last", &result), u"on page 1");
    lookup(h, u"kA0", &result);
    EXPECT_EQ(result, -469);

    RawCatalogue far;
    far.add(u"k", u"v");
    far.first_entry = 64;  // no such page
    I18N_HANDLE *f = opened("far", far.bytes());
    lookup(f, u"k", &result);
    EXPECT_EQ(result, -469);
}

TEST_F(Catalogues, EntriesOutsideTheStringsNeverMatch) {
    RawCatalogue c;
    c.add(u"k", u"value");
    c.entries.push_back({1000, 1, 1});  // key far outside
    c.entries.push_back({0, 1, 200});   // value runs past the end
    c.entries.push_back({1, 1, 1});     // odd offset
    c.entries.push_back({0xFFFFFFFE, 0xFFFF, 0xFFFF});
    c.entry_count = 5;
    std::string bytes = c.bytes();
    I18N_HANDLE *h = opened("outside", bytes);
    int32_t result = 0;
    EXPECT_EQ(lookup(h, u"k", &result), u"value");
}

TEST_F(Catalogues, EmptyStringSectionFindsNothing) {
    RawCatalogue c;
    c.entries.push_back({0, 1, 1});
    c.entry_count = 1;
    I18N_HANDLE *h = opened("empty", c.bytes());
    int32_t result = 0;
    lookup(h, u"", &result);
    EXPECT_EQ(result, -469);
}

TEST_F(Catalogues, BrokenFilesAreRejected) {
    const std::string good = RawCatalogue().add(u"k", u"v").bytes();
    auto broken = [&](auto change) {
        std::string b = good;
        change(b);
        return b;
    };
    struct {
        const char *name;
        std::string bytes;
        int32_t result;
    } cases[] = {
        {"magic", broken([](std::string &b) { b[0] = 'X'; }), -464},
        {"littleendian", broken([](std::string &b) { patch16(b, 6, 0xFFFE); }), -464},
        {"pagearea", broken([](std::string &b) { patch32(b, 100, 767); }), -464},
        {"namesbefore", broken([](std::string &b) { patch32(b, 104, 700); }), -464},
        {"stringsbefore", broken([](std::string &b) { patch32(b, 108, 700); }), -464},
        {"shortheader", good.substr(0, 127), -463},
        {"shortpage", good.substr(0, 128 + 700), -463},
        {"shortstrings", good.substr(0, good.size() - 1), -463},
        {"hugestrings", broken([](std::string &b) { patch32(b, 108, 0xFFFFFFF0); }), -463},
        {"fullrangestrings",  // 2^32 bytes of strings: the size must not wrap to 0
         broken([](std::string &b) {
             patch16(b, 98, 0), patch32(b, 100, 0), patch32(b, 104, 0);
             patch32(b, 108, 0xFFFFFFFF);
         }),
         -463},
        {"empty", "", -463},
    };
    for (const auto &c : cases) {
        dir_.write(std::string(c.name) + ".lcu", c.bytes);
        I18N_HANDLE *h = handle(std::u16string(c.name, c.name + strlen(c.name)));
        EXPECT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), c.result) << c.name;
        char16_t out[8];
        EXPECT_EQ(i18nuni_LookupByKey(h, u"k", out, 8), -462) << "stays closed: " << c.name;
    }
}

TEST_F(Catalogues, PageAreaMustMatchThePageCount) {
    RawCatalogue c;
    for (int i = 0; i < 65; ++i) c.add(u"k" + std::u16string(1, char16_t(0x100 + i)), u"v");
    std::string two = c.bytes();
    ASSERT_EQ(two.substr(98, 2), std::string("\0\2", 2));
    I18N_HANDLE *ok = opened("twopages", two);
    int32_t result = 0;
    lookup(ok, u"k\u0140", &result);
    EXPECT_EQ(result, 1);
    patch32(two, 100, 1535);
    dir_.write("bad.lcu", two);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"bad"), I18N_MODE_READ), -464);
}

TEST_F(Catalogues, HandlesShareOneLoadedFile) {
    I18N_HANDLE *first = opened("shared", RawCatalogue().add(u"k", u"old").bytes());
    dir_.write("shared.lcu", RawCatalogue().add(u"k", u"new").bytes());
    I18N_HANDLE *second = handle(u"shared");
    EXPECT_EQ(i18nuni_FileOpen(second, I18N_MODE_READ), 1);
    int32_t result = 0;
    EXPECT_EQ(lookup(second, u"k", &result), u"old");  // not read again
    EXPECT_EQ(lookup(first, u"k", &result), u"old");
    EXPECT_EQ(i18nuni_FileOpen(handle(u"shared"), I18N_MODE_UPDATE), -462);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"shared"), I18N_MODE_CREATE), -462);
}

TEST_F(Catalogues, OpenModes) {
    dir_.write("there.lcu", RawCatalogue().add(u"k", u"v").bytes());
    EXPECT_EQ(i18nuni_FileOpen(handle(u"there"), I18N_MODE_EXISTS), -459);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"absent"), I18N_MODE_EXISTS), -479);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"absent"), I18N_MODE_READ), -479);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"there"), 4), -488);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"there"), -1), -488);

    I18N_HANDLE *writer = handle(u"update");
    dir_.write("update.lcu", RawCatalogue().add(u"k", u"v").bytes());
    EXPECT_EQ(i18nuni_FileOpen(writer, I18N_MODE_UPDATE), 1);
    int32_t result = 0;
    EXPECT_EQ(lookup(writer, u"k", &result), u"v");
    EXPECT_EQ(i18nuni_FileOpen(handle(u"update"), I18N_MODE_READ), -462);

    I18N_HANDLE *created = handle(u"created");
    EXPECT_EQ(i18nuni_FileOpen(created, I18N_MODE_CREATE), 1);
    EXPECT_TRUE(std::filesystem::exists(dir_.path() / "created.lcu"));
    EXPECT_EQ(std::filesystem::file_size(dir_.path() / "created.lcu"), 0u);
    lookup(created, u"k", &result);
    EXPECT_EQ(result, -469);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"created"), I18N_MODE_READ), -462);

    I18N_FILE_SPEC spec;
    i18nuni_FileSpecInit(&spec);
    spec.location = I18N_LOC_DIR;
    I18N_HANDLE *nowhere = nullptr;
    const std::u16string missing = dir_.u16() + u"/no/such/dir";
    ASSERT_EQ(i18nuni_HandleGet(u"c", missing.c_str(), u"f", &spec, &nowhere), 1);
    EXPECT_EQ(i18nuni_FileOpen(nowhere, I18N_MODE_CREATE), -458);
}

TEST_F(Catalogues, NamesThatCannotBeNarrowedCannotBeOpened) {
    EXPECT_EQ(i18nuni_FileOpen(handle(u"caf\u00E9"), I18N_MODE_READ), -479);  // fits 8 bits
    EXPECT_EQ(i18nuni_FileOpen(handle(u"\u03C0"), I18N_MODE_READ), -478);
}

TEST_F(Catalogues, HandleGetReportsPathErrors) {
    I18N_FILE_SPEC spec;
    i18nuni_FileSpecInit(&spec);
    I18N_HANDLE *h = nullptr;
    EXPECT_EQ(i18nuni_HandleGet(u"c", u"en", nullptr, &spec, &h), -478);
    EXPECT_EQ(i18nuni_HandleGet(nullptr, u"en", u"f", &spec, &h), -481);
    EXPECT_EQ(i18nuni_HandleGet(u"c", u"en", u"f", nullptr, &h), -483);
    spec.location = I18N_LOC_DIR;
    EXPECT_EQ(i18nuni_HandleGet(u"c", nullptr, u"f", &spec, &h), -481);
    spec.location = I18N_LOC_CURDIR;
    const std::u16string too_long(300, u'x');
    EXPECT_EQ(i18nuni_HandleGet(u"c", u"en", too_long.c_str(), &spec, &h), -484);
    EXPECT_EQ(h, nullptr);
}

TEST_F(Catalogues, NameSectionIsOrderedByName) {
    RawCatalogue c;
    c.add(u"k", u"v");
    auto name = [&](uint16_t id, std::u16string_view text) {
        RawCatalogue::put16(c.names, id), RawCatalogue::put16(c.names, uint16_t(text.size()));
        for (char16_t u : text) RawCatalogue::put16(c.names, u);
        RawCatalogue::put16(c.names, 0);
    };
    name(3, u"beta"), name(9, u"alpha"), name(4, u"beta"), name(2, u"a");
    c.names += "\x00\x07\x00\x09";  // a record the section cannot hold whole
    const std::filesystem::path p = dir_.write("names.lcu", c.bytes());
    std::FILE *f = std::fopen(p.c_str(), "rb");
    i18n::Catalogue cat;
    ASSERT_EQ(cat.load(f), 1);
    std::fclose(f);
    std::vector<std::pair<uint16_t, std::u16string>> got;
    for (const auto &n : cat.names()) got.emplace_back(n.id, std::u16string(n.text));
    const std::vector<std::pair<uint16_t, std::u16string>> want = {
        {2, u"a"}, {9, u"alpha"}, {4, u"beta"}, {3, u"beta"}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(cat.largest_name_id(), 9);
    EXPECT_EQ(cat.pages().size(), 1u);
    EXPECT_EQ(cat.pages()[0].number, 0);
}

// Every allocation of handle creation and loading fails in turn: the call
// reports -457 and leaves nothing half made; the next try succeeds.
TEST_F(Catalogues, MemoryExhaustionIsAStatus) {
    RawCatalogue c;
    for (int i = 0; i < 100; ++i) c.add(u"k" + std::u16string(1, char16_t(0x100 + i)), u"v");
    c.add(u"00000001", u"one").add(u"00000002", u"two");
    dir_.write("oom.lcu", c.bytes());
    for (int64_t k = 0;; ++k) {
        I18N_FILE_SPEC spec;
        i18nuni_FileSpecInit(&spec);
        spec.location = I18N_LOC_DIR;
        I18N_HANDLE *h = nullptr;
        const std::u16string name = u"oom";
        i18n_test_fail_alloc(k, 1);
        int32_t got = i18nuni_HandleGet(u"comp", dir_.u16().c_str(), name.c_str(), &spec, &h);
        if (got == 1) got = i18nuni_FileOpen(h, I18N_MODE_READ);
        const bool injected = i18n_test_fail_alloc(0, 0) >= 0 && got != 1;
        if (got == 1) {
            int32_t result = 0;
            EXPECT_EQ(lookup(h, u"k\u0163", &result), u"v");
            char16_t out[4];
            EXPECT_EQ(i18nuni_LookupByKeyNum(h, 2, out, 4), 1);
            EXPECT_EQ(std::u16string(out), u"two");
            EXPECT_GT(k, 3);
            break;
        }
        EXPECT_TRUE(injected);
        EXPECT_EQ(got, -457) << "allocation " << k;
        if (h != nullptr) {
            char16_t out[4];
            EXPECT_EQ(i18nuni_LookupByKey(h, u"k", out, 4), -462);
        }
    }
}

}  // namespace
