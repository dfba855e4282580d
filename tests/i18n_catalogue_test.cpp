// Catalogue files: loading, the file cache, open modes and lookup.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "i18n.h"
#include "i18n_catalogue.h"
#include "temp_dir.h"

namespace {

void put16(std::string &s, uint32_t v) {
    s.push_back(char(v >> 8)), s.push_back(char(v & 0xFF));
}
void put_text(std::string &s, std::u16string_view text) {
    for (char16_t c : text) put16(s, c);
    put16(s, 0);
}
// Overwrites n big-endian bytes at `at` with v.
void patch(std::string &b, std::size_t at, uint32_t v, std::size_t n = 4) {
    for (std::size_t i = 0; i < n; ++i) b[at + i] = char(v >> (8 * (n - 1 - i)));
}
std::u16string key(int i) {
    return {u'k', char16_t(0x100 + i)};
}

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

    // Adds key and value to the strings and an entry for them.
    RawCatalogue &add(std::u16string_view k, std::u16string_view value, uint8_t state = 1) {
        entries.push_back(
            {uint32_t(strings.size()), uint16_t(k.size()), uint16_t(value.size()), state});
        put_text(strings, k), put_text(strings, value);
        if (state == 1) ++entry_count;
        return *this;
    }
    std::string bytes() const {
        const auto page_count = uint32_t((entries.size() + 63) / 64);
        std::string b(128 + page_count * 768, '\0');
        b.replace(0, 4, "LOCF");
        for (std::size_t n = 0; n < entries.size(); ++n) {
            const std::size_t at = 128 + n / 64 * 768 + n % 64 * 12;
            patch(b, at, entries[n].offset), patch(b, at + 4, entries[n].key_length, 2);
            patch(b, at + 6, entries[n].value_length, 2);
            b[at + 10] = char(n % 64), b[at + 11] = char(entries[n].state);
        }
        const uint32_t pages_end = page_count * 768, names_end = pages_end + uint32_t(names.size());
        patch(b, 6, 0xFEFF, 2), patch(b, 96, entry_count, 2), patch(b, 98, page_count, 2);
        patch(b, 100, pages_end), patch(b, 104, names_end), patch(b, 118, first_entry, 2);
        patch(b, 108, strings.empty() ? names_end : names_end + uint32_t(strings.size()) - 1);
        return b + names + strings;
    }
};

// The value under a key text or message number, or "#" and the status.
template <class Key>
std::u16string get(I18N_HANDLE *h, Key k, int32_t capacity = 64) {
    std::vector<char16_t> out(std::size_t(std::max(capacity, 1)));
    int32_t result = 0;
    if constexpr (std::is_integral_v<Key>) {
        result = i18nuni_LookupByKeyNum(h, k, out.data(), capacity);
    } else {
        result = i18nuni_LookupByKey(h, k, out.data(), capacity);
    }
    const std::string status = "#" + std::to_string(result);
    return result == 1 ? std::u16string(out.data()) : std::u16string(status.begin(), status.end());
}

class Catalogues : public testing::Test {
  protected:
    // A handle for dir/name.lcu, given by directory.
    I18N_HANDLE *handle(const std::u16string &name) {
        I18N_HANDLE *h = nullptr;
        EXPECT_EQ(i18nuni_HandleGet(u"comp", dir_.u16().c_str(), name.c_str(), &spec_, &h), 1);
        return h;
    }
    I18N_HANDLE *opened(const std::string &name, const std::string &bytes) {
        dir_.write(name + ".lcu", bytes);
        I18N_HANDLE *h = handle(std::u16string(name.begin(), name.end()));
        EXPECT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), 1);
        return h;
    }

    TempDir dir_;
    const I18N_FILE_SPEC spec_{1, 0, I18N_LOC_DIR};
};

TEST_F(Catalogues, ArgumentsAndStates) {
    I18N_HANDLE *h = nullptr;
    EXPECT_EQ(i18nuni_HandleGet(u"c", u"en", u"f", nullptr, &h), -483);
    EXPECT_EQ(i18nuni_HandleGet(u"c", u"en", u"f", &spec_, nullptr), -456);
    const std::u16string too_long(300, u'x');  // path statuses are passed on
    EXPECT_EQ(i18nuni_HandleGet(u"c", u"en", too_long.c_str(), &spec_, &h), -484);
    EXPECT_EQ(h, nullptr);
    dir_.write("k.lcu", RawCatalogue().add(u"k", u"abcd").bytes());
    h = handle(u"k");
    EXPECT_EQ(get(nullptr, u"k"), u"#-456");
    EXPECT_EQ(get(nullptr, 1), u"#-456");
    EXPECT_EQ(i18nuni_FileOpen(nullptr, I18N_MODE_READ), -456);
    EXPECT_EQ(get(h, u"k"), u"#-462");  // not open yet
    EXPECT_EQ(get(h, 1), u"#-462");
    ASSERT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), 1);
    EXPECT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), -465);
    EXPECT_EQ(get(h, nullptr), u"#-460");
    // The value must fit with its terminator; INT32_MIN - 1 must not wrap.
    EXPECT_EQ(get(h, u"k", 5), u"abcd");
    for (int32_t capacity : {4, 0, -1, INT32_MIN}) {
        EXPECT_EQ(get(h, u"k", capacity), u"#-468") << capacity;
    }
    EXPECT_EQ(i18nuni_LookupByKey(h, u"k", nullptr, 5), -468);
}

// The walk: from the first entry on, entries in use only, at most the entry
// count of them, the first equal key wins. Entries whose key or value lies
// outside the strings are never indexed, so they never match.
TEST_F(Catalogues, LookupKeepsTheResultOfTheWalk) {
    RawCatalogue c;
    c.add(u"a", u"skipped").add(u"b", u"first b").add(u"x", u"free", 0).add(u"b", u"second b");
    c.add(u"c", u"c").add(u"d", u"beyond the count");
    c.entries.insert(c.entries.begin() + 2, {{1000, 1, 1},                   // key far outside
                                             {c.entries[4].offset, 1, 200},  // "c", value too long
                                             {1, 1, 1},                      // odd offset
                                             {0xFFFFFFFE, 0xFFFF, 0xFFFF}});
    c.first_entry = 1;
    c.entry_count = 7;  // b, the four outside, b, c
    I18N_HANDLE *h = opened("walk", c.bytes());
    EXPECT_EQ(get(h, u"b"), u"first b");
    EXPECT_EQ(get(h, u"c"), u"c");
    for (const char16_t *miss : {u"a", u"x", u"d"}) EXPECT_EQ(get(h, miss), u"#-469");
}

TEST_F(Catalogues, WalkCrossesPagesAndStopsAtTheirEnd) {
    RawCatalogue c;
    for (int i = 0; i < 70; ++i) c.add(key(i), u"v");
    c.add(u"last", u"on page 1");
    c.first_entry = 60;
    c.entry_count = 500;  // more than there are: the pages end first
    I18N_HANDLE *h = opened("pages", c.bytes());
    EXPECT_EQ(get(h, u"last"), u"on page 1");
    EXPECT_EQ(get(h, key(69).c_str()), u"v");
    EXPECT_EQ(get(h, key(0).c_str()), u"#-469");
}

TEST_F(Catalogues, NothingToFind) {
    RawCatalogue no_strings;  // an entry, but an empty string section
    no_strings.entries.push_back({0, 1, 1});
    no_strings.entry_count = 1;
    RawCatalogue not_counted;  // strings, but an entry count of 0
    not_counted.add(u"00000001", u"v").entry_count = 0;
    RawCatalogue far;  // the walk starts on a page the file does not have
    far.add(u"00000001", u"v").first_entry = 64;
    int i = 0;
    for (const RawCatalogue *c : {&no_strings, &not_counted, &far}) {
        I18N_HANDLE *h = opened("none" + std::to_string(i++), c->bytes());
        EXPECT_EQ(get(h, u"00000001"), u"#-469") << i;
        EXPECT_EQ(get(h, 1), u"#-469") << i;
    }
}

// By number, exactly the entry that its eight-digit key text finds.
TEST_F(Catalogues, LookupByNumberAgreesWithTheKeyText) {
    RawCatalogue c;
    c.add(u"000200a2", u"lower-case digits").add(u"000200A2", u"first");
    c.add(u"000200A2", u"second").add(u"1", u"short key").add(u"0000000G", u"not hex");
    c.add(u"FFFFFFFF", u"minus one");
    I18N_HANDLE *h = opened("bynumber", c.bytes());
    EXPECT_EQ(get(h, 131234), u"first");
    EXPECT_EQ(get(h, u"000200A2"), u"first");
    EXPECT_EQ(get(h, -1), u"minus one");
    EXPECT_EQ(get(h, 131234, 5), u"#-468");
    for (int32_t miss : {1, 16, 0}) EXPECT_EQ(get(h, miss), u"#-469") << miss;
    EXPECT_EQ(get(h, u"000200A2x"), u"#-469");
}

// Numbers in one run with gaps are kept in a table from the smallest; the
// numbers around it, in its gaps and far off must miss, whatever the text
// length (one unit up to past the copy's wide moves).
TEST_F(Catalogues, LookupByNumberInARunWithGaps) {
    RawCatalogue c;
    std::vector<std::pair<int32_t, std::u16string>> held;
    for (int32_t n = 0x20000; n < 0x20000 + 200; n += 1 + n % 3) {
        held.emplace_back(n, std::u16string(std::size_t(1 + n % 150), char16_t(u'a' + n % 26)));
        char k[9];
        std::snprintf(k, sizeof k, "%08X", unsigned(n));
        c.add(std::u16string(k, k + 8), held.back().second);
    }
    I18N_HANDLE *h = opened("run", c.bytes());
    for (const auto &[number, text] : held) EXPECT_EQ(get(h, number, 160), text) << number;
    for (int32_t miss :
         {0x1FFFF, 0x20002, held.back().first + 1, 0x20000 + 200, 0, -1, INT32_MIN}) {
        EXPECT_EQ(get(h, miss), u"#-469") << miss;
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
        std::u16string k, value;
        for (int n = 0; n < 8; ++n) k += char16_t(u'0' + (i + n) % 10);
        for (int n = 0; n < 2000; ++n) value += char16_t(u'0' + (i + 9 + n) % 10);
        EXPECT_EQ(get(h, k.c_str(), 2001), value) << i;
    }
}

TEST_F(Catalogues, BrokenFilesAreRejected) {
    const std::string good = RawCatalogue().add(u"k", u"v").bytes();
    auto broken = [&](std::initializer_list<std::pair<std::size_t, uint32_t>> fields) {
        std::string b = good;
        for (auto [at, v] : fields) patch(b, at, v, at == 6 || at == 98 ? 2 : 4);  // 16-bit
        return b;
    };
    const std::tuple<const char *, std::string, int32_t> cases[] = {
        {"magic", "X" + good.substr(1), -464},
        {"littleendian", broken({{6, 0xFFFE}}), -464},
        {"pagearea", broken({{100, 767}}), -464},
        {"namesbefore", broken({{104, 700}}), -464},
        {"stringsbefore", broken({{108, 700}}), -464},
        {"shortheader", good.substr(0, 127), -463},
        {"shortpage", good.substr(0, 128 + 700), -463},
        {"shortstrings", good.substr(0, good.size() - 1), -463},
        {"hugestrings", broken({{108, 0xFFFFFFF0}}), -463},
        // 2^32 bytes of strings: the size must not wrap to 0.
        {"fullrangestrings", broken({{98, 0}, {100, 0}, {104, 0}, {108, 0xFFFFFFFF}}), -463},
        {"empty", "", -463},
    };
    for (const auto &[name, bytes, result] : cases) {
        dir_.write(std::string(name) + ".lcu", bytes);
        I18N_HANDLE *h = handle(std::u16string(name, name + strlen(name)));
        EXPECT_EQ(i18nuni_FileOpen(h, I18N_MODE_READ), result) << name;
        EXPECT_EQ(get(h, u"k"), u"#-462") << "stays closed: " << name;
    }
}

TEST_F(Catalogues, OpenModesAndSharing) {
    I18N_HANDLE *first = opened("shared", RawCatalogue().add(u"k", u"old").bytes());
    dir_.write("shared.lcu", RawCatalogue().add(u"k", u"new").bytes());
    I18N_HANDLE *second = handle(u"shared");
    EXPECT_EQ(i18nuni_FileOpen(second, I18N_MODE_READ), 1);
    EXPECT_EQ(get(second, u"k"), u"old");  // one loaded file for every handle
    EXPECT_EQ(get(first, u"k"), u"old");
    EXPECT_EQ(i18nuni_FileOpen(handle(u"shared"), I18N_MODE_UPDATE), -462);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"shared"), I18N_MODE_CREATE), -462);

    dir_.write("there.lcu", RawCatalogue().add(u"k", u"v").bytes());
    EXPECT_EQ(i18nuni_FileOpen(handle(u"there"), I18N_MODE_EXISTS), -459);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"absent"), I18N_MODE_EXISTS), -479);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"absent"), I18N_MODE_READ), -479);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"there"), 4), -488);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"there"), -1), -488);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"caf\u00E9"), I18N_MODE_READ), -479);  // fits 8 bits
    EXPECT_EQ(i18nuni_FileOpen(handle(u"\u03C0"), I18N_MODE_READ), -478);

    I18N_HANDLE *writer = handle(u"update");
    dir_.write("update.lcu", RawCatalogue().add(u"k", u"v").bytes());
    EXPECT_EQ(i18nuni_FileOpen(writer, I18N_MODE_UPDATE), 1);
    EXPECT_EQ(get(writer, u"k"), u"v");
    EXPECT_EQ(i18nuni_FileOpen(handle(u"update"), I18N_MODE_READ), -462);

    I18N_HANDLE *created = handle(u"created");
    EXPECT_EQ(i18nuni_FileOpen(created, I18N_MODE_CREATE), 1);
    EXPECT_TRUE(std::filesystem::exists(dir_.path() / "created.lcu"));
    EXPECT_EQ(std::filesystem::file_size(dir_.path() / "created.lcu"), 0u);
    EXPECT_EQ(get(created, u"k"), u"#-469");
    EXPECT_EQ(i18nuni_FileOpen(handle(u"created"), I18N_MODE_READ), -462);
    EXPECT_EQ(i18nuni_FileOpen(handle(u"no/such/dir"), I18N_MODE_CREATE), -458);
}

TEST_F(Catalogues, NameSectionIsOrderedByName) {
    RawCatalogue c;
    c.add(u"k", u"v");
    using Name = std::pair<uint16_t, std::u16string>;
    for (const Name &n : std::vector<Name>{{3, u"beta"}, {9, u"alpha"}, {4, u"beta"}, {2, u"a"}}) {
        put16(c.names, n.first), put16(c.names, uint16_t(n.second.size()));
        put_text(c.names, n.second);
    }
    c.names += "\x00\x07\x00\x09";  // a record the section cannot hold whole
    std::FILE *f = std::fopen(dir_.write("names.lcu", c.bytes()).c_str(), "rb");
    i18n::Catalogue cat;
    ASSERT_EQ(cat.load(f), 1);
    std::fclose(f);
    std::vector<Name> got;
    for (const auto &n : cat.names()) got.emplace_back(n.id, std::u16string(n.text));
    EXPECT_EQ(got, (std::vector<Name>{{2, u"a"}, {9, u"alpha"}, {4, u"beta"}, {3, u"beta"}}));
    EXPECT_EQ(cat.largest_name_id(), 9);
}

// Every allocation of handle creation and loading fails in turn: the call
// reports -457 and leaves nothing half made; the next try succeeds.
TEST_F(Catalogues, MemoryExhaustionIsAStatus) {
    RawCatalogue c;
    for (int i = 0; i < 100; ++i) c.add(key(i), u"v");
    c.add(u"00000001", u"one").add(u"00000002", u"two");
    dir_.write("oom.lcu", c.bytes());
    for (int64_t k = 0;; ++k) {
        I18N_HANDLE *h = nullptr;
        i18n_test_fail_alloc(k, 1);
        int32_t got = i18nuni_HandleGet(u"comp", dir_.u16().c_str(), u"oom", &spec_, &h);
        if (got == 1) got = i18nuni_FileOpen(h, I18N_MODE_READ);
        i18n_test_fail_alloc(0, 0);
        if (got == 1) {
            EXPECT_EQ(get(h, key(99).c_str()), u"v");
            EXPECT_EQ(get(h, 2), u"two");
            EXPECT_GT(k, 3);
            break;
        }
        EXPECT_EQ(got, -457) << "allocation " << k;
        if (h != nullptr) {
            EXPECT_EQ(get(h, u"k"), u"#-462");
        }
    }
}

}  // namespace
