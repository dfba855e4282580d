// Locale file names; catalogues as lcuc writes them and as the library reads
// them, whole or damaged; the file cache, open modes and lookup, with memory
// and file operations failing.
#include <random>

#include "i18n_model.h"
#include "lcu_compile.h"
#include "support.h"

namespace {

std::string narrow(const char16_t *s) {  // names here are ASCII
    return s ? std::string(s, s + std::u16string_view(s).size()) : "null";
}

// Every call that makes a name, under each root the environment can give,
// at a capacity that holds the name, one that cuts it and none.
TEST(Paths, UnderEachRoot) {
    // clang-format off
    const char *roots[][2] = {{nullptr, nullptr}, {nullptr, "/opt/orv"}, {"/t", "/opt/orv"},
        {"rel/x", "/opt/orv"}, {nullptr, "c:/x"}, {"", "/opt/orv"}, {nullptr, "/"}, {nullptr, "/r/"}};
    const std::tuple<uint32_t, int32_t, const char16_t *, const char16_t *> names[] = {{0, 1, u"latin", nullptr},
        {0, 2, u"order", nullptr}, {1, 0, u"m", u"x"}, {2, 0, u"m", u"/my/fr_FR"}, {2, 2, u"order", u"/my/dir/"},
        {2, 0, u"m", nullptr}, {0, 0, nullptr, u"en"}, {0, 0, u"m", nullptr}, {0, 3, u"m", u"en"},
        {0, -1, u"m", u"en"}, {7, 0, u"m", u"en"}};  // location, type, file, directory or language
    // clang-format on
    char16_t out[I18N_PATH_MAX] = {};
    std::string dump;
    auto line = [&](const std::string &call, int32_t status) {
        dump += call + " => " + std::to_string(status) + " " + narrow(out) + "\n";
        out[0] = 0;
    };
#define SHOW(call) line(#call, call)
    for (const auto &[orvtest, orvane] : roots) {
        test::set_env("ORVTEST", orvtest);
        test::set_env("ORVANE", orvane);
        dump += "\n" + std::string(orvtest ? orvtest : "-") + " " + (orvane ? orvane : "-") + "\n";
        for (const int32_t n : {I18N_PATH_MAX, 10, 0}) {  // blocks of calls at 256, 10 and 0
            SHOW(i18npath_RootGet(out, n));
            SHOW(i18npath_LocalesDir(out, n));
            SHOW(i18npath_TablesDir(out, n, 1));
            SHOW(i18npath_ComponentDir(out, n, u"ComponentXY"));
            SHOW(i18npath_LanguageDir(out, n, u"Comp", u"EN_US"));
            SHOW(i18npath_FileName(out, n, 0, 0, u"msgs", u"fr_FR", u"Kavrel"));
        }
    }
    for (const auto &[location, type, file, dir] : names)
        line("FileName " + std::to_string(location) + " " + std::to_string(type) + " " +
                 narrow(file) + " " + narrow(dir),
             i18npath_FileName(out, I18N_PATH_MAX, location, type, file, dir, u"Comp"));
    SHOW(i18npath_FileName(out, I18N_PATH_MAX, 0, 0, u"m", u"en", nullptr));
    SHOW(i18npath_ComponentDir(out, I18N_PATH_MAX, nullptr));
    SHOW(i18npath_FileName(nullptr, 0, 2, 0, nullptr, nullptr, nullptr));  // no directory first,
    SHOW(i18npath_FileName(nullptr, 0, 0, 0, nullptr, nullptr, nullptr));  // then no file
    test::set_env("ORVANE", nullptr);
    test::expect_golden("i18n_paths.txt", dump);
}

void put(std::string &s, std::size_t at, uint32_t v, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) s[at + i] = char(v >> (8 * (n - 1 - i)));
}

// Catalogues of random messages (numbers in a run with gaps, or scattered;
// texts of every length), all found again; then damaged: entries freed or
// pointing at other keys, into keys, past the strings or cut short, a walk
// that starts late or stops early, one in four with a broken header or cut
// short. The first holds all the messages a file can.
TEST(Catalogue, FindsWhatTheWalkFinds) {
    test::TempDir dir;
    std::mt19937 rng(11);
    for (int round = 0; round < 40; ++round) {
        const std::size_t count = round == 0 ? lcu::kMaxMessages : 1 + rng() % 150;
        const uint32_t gap = round == 0 ? 8 : round % 2 ? 3 : 1 << 22;
        std::vector<lcu::Message> messages;
        for (auto n = uint32_t(1 + rng() % (1 << 28)); messages.size() < count;
             n += 1 + uint32_t(rng()) % gap) {
            messages.push_back({n, std::u16string(1 + rng() % 70, u'\u4E00'), 0});
            for (char16_t &c : messages.back().text) c = char16_t(c + rng() % 256);
        }
        std::string b = lcu::build_catalogue(messages, u"r");
        i18n::Catalogue whole, damaged;
        i18n::PlatFile f(test::write(dir / "r.lcu", b).c_str(), "rb");
        ASSERT_EQ(whole.load(f), 1);
        for (const lcu::Message &m : messages) {
            const i18n::NumberSlot *found = whole.find_number(m.number);
            ASSERT_EQ(found ? whole.value_of(*found) : u"-", m.text) << m.number;
        }
        if (round == 0) continue;  // too many for the walk

        const model::Catalogue m{b};
        const uint32_t units = (m.be(108, 4) - m.be(104, 4) + 1) / 2;
        for (auto d = rng() % 12; d > 0; --d) {
            const std::size_t at = 128 + 12 * (rng() % count);
            const auto v = uint32_t(rng()), kind = v % 5;
            if (kind == 0) b[at + 11] = char(v % 3);  // free, in use or neither
            if (kind == 1) put(b, at, m.be(128 + 12 * (v % count), 4), 4);  // another's key
            if (kind == 2) put(b, at, m.be(at, 4) + v % 3, 4);
            if (kind == 3) put(b, at + 4, v % 10, 2);
            if (kind == 4) put(b, at + 6, v % 2 ? 0xFFFF : v % (2 * units), 2);
        }
        const uint32_t v = uint32_t(rng()), sizes[] = {0, 700, 767, 0xFFFFFFF0};
        if (v % 3 == 0) put(b, 118, v / 3 % uint32_t(count + 8), 2), put(b, 96, v / 256 % 200, 2);
        if (round % 4 == 3 && v % 4 == 0) b[v / 4 % 8] ^= 1;  // magic, version or byte order
        if (round % 4 == 3 && v % 4 == 1) put(b, 96 + 4 * (1 + v / 4 % 3), sizes[v / 16 % 4], 4);
        if (round % 4 == 3 && v % 4 == 2) b.resize(v / 4 % b.size());
        if (round % 8 == 5)  // no strings at all, the file ending where the names end
            put(b, 108, m.be(104, 4), 4), b.resize(128 + m.be(104, 4));
        if (round % 4 == 3 && v % 4 == 3)  // 2^32 bytes of strings: the size must not wrap to 0
            put(b, 98, 0, 2), put(b, 100, 0, 4), put(b, 104, 0, 4), put(b, 108, 0xFFFFFFFF, 4);
        i18n::PlatFile g(test::write(dir / "d.lcu", b).c_str(), "rb");
        const int32_t status = damaged.load(g);
        EXPECT_EQ(status, model::Catalogue{b}.status()) << round;
        EXPECT_TRUE(status != 1 || model::check_catalogue(damaged, b)) << round;
    }
}

// lcuc on a source as translators write them, on wrong ones and with wrong
// arguments: the messages the file then holds (by the walk), or the error
// by line and no file.
TEST(Lcuc, CompilesSourcesOrRefusesThem) {
    // clang-format off
    const std::string sources[] = {"\xEF\xBB\xBF# comment\r\n\r\n  # indented\n131229\tKonnte %1 nicht.  \r\n"
        "7  \\sleading\\s\n 8 two\\nlines \\\\ tab\\t\n9 \\u00E9 \\U0001F600 \xE2\x82\xAC %% # none\n0002147483647 z",
        "1 a\n2 b\n1 c\n", "# c\n\n5 caf\xC3\n", "5 \xC0\x80", "5 \xED\xA0\x80", "5 \xF4\x90\x80\x80", "0 zero",
        "99999999999999999999 x", "x 1", "12x", "12   ", "12 a\\qb", "12 \\uD800", "12 \\u12G4", "12 \\u0000",
        "1 " + std::string(8191, 'x'), "1 " + std::string(8190, 'x') + "\xF0\x9F\x98\x80"};
    // clang-format on
    const char *odd[] = {"none.txt x.lcu", "s.txt no/x.lcu", "s.txt"};  // on a source of "1 x"
    test::TempDir dir;
    std::string dump;
    for (std::size_t i = 0; i < std::size(sources) + std::size(odd); ++i) {
        const bool own = i < std::size(sources);
        test::write(dir / "s.txt", own ? sources[i] : "1 x");
        std::filesystem::remove(dir / "s.lcu");
        const std::string args = own ? "s.txt s.lcu" : odd[i - std::size(sources)];
        const int status = test::shell(test::shell_cd(dir.str()) + test::shell_word(KAVREL_LCUC) +
                                       " " + args + " 2>err");
        const std::string b = test::slurp(dir / "s.lcu");
        dump +=
            std::to_string(i) + ": " + std::to_string(status) + " " + test::read_text(dir / "err");
        for (std::size_t n = 0; b != "<none>" && n < model::Catalogue{b}.be(96, 2); ++n) {
            const auto [key, value] = *model::Catalogue{b}.entry(n);
            dump += "  " + narrow(key.c_str()) + " [" +
                    model::to_utf8(value).at(INT32_MAX, 0).text.substr(0, 40) + "]\n";
        }
    }
    test::expect_golden("lcuc.txt", dump);
}

// The value under a key text or message number, or "#" and the status.
template <class Key>
std::u16string get(I18N_HANDLE *h, Key key, int32_t room = 64) {
    std::u16string out(std::size_t(std::max(room, 1)), u'#');
    int32_t r = 0;
    if constexpr (std::is_integral_v<Key>) r = i18nuni_LookupByKeyNum(h, key, out.data(), room);
    if constexpr (!std::is_integral_v<Key>) r = i18nuni_LookupByKey(h, key, out.data(), room);
    const std::string status = "#" + std::to_string(r);
    return r == 1 ? std::u16string(out.c_str()) : std::u16string(status.begin(), status.end());
}

// The cache's calls, open modes and lookups; then every allocation of making
// a handle and loading fails in turn: -457, and the handle, if made, stays
// closed. Then every read, and opening.
TEST(Catalogues, CallsOpenModesAndFailures) {
    test::TempDir dir;
    // Gets a handle on dir/name.lcu, given by directory, into h and opens it
    // in the mode: the first status that is not 1.
    auto open = [&](const std::string &name, int32_t mode, I18N_HANDLE *&h, uint32_t format = 1) {
        const I18N_FILE_SPEC desc{format, 0, I18N_LOC_DIR};
        const std::u16string file(name.begin(), name.end());  // bytes above 0x7F: above U+00FF
        h = nullptr;
        const int32_t r = i18nuni_HandleGet(nullptr, dir.u16().c_str(), file.c_str(), &desc, &h);
        return r == 1 ? i18nuni_FileOpen(h, mode) : r;
    };
    I18N_FILE_SPEC desc{9, 9, 9};
    I18N_HANDLE *h = nullptr, *reader, *other, *writer, *created;
    EXPECT_EQ((std::tuple{i18nuni_FileSpecInit(nullptr), i18nuni_FileSpecInit(&desc), desc.format,
                          desc.reserved, desc.location}),
              std::tuple(-483, 1, 1u, 0u, 0u));
    EXPECT_EQ(i18nuni_HandleGet(u"c", u"en", u"f", nullptr, &h), -483);
    EXPECT_EQ(i18nuni_HandleGet(u"c", u"en", u"f", &desc, nullptr), -456);
    EXPECT_EQ(i18nuni_HandleGet(u"c", nullptr, u"f", &desc, &h), -481);  // path statuses pass on
    EXPECT_EQ(std::tuple(h, get(h, u"k"), get(h, 1), i18nuni_FileOpen(h, 0)),
              std::tuple(nullptr, u"#-456", u"#-456", -456));
    const std::string file = lcu::build_catalogue({{1, u"one", 0}, {2, u"abcd", 0}}, u"k");
    test::write(dir / "k.lcu", file);
    EXPECT_EQ((std::tuple{open("k", -1, h), get(h, u"00000001"), get(h, 1),  // -1: left closed
                          i18nuni_FileOpen(h, I18N_MODE_READ), i18nuni_FileOpen(h, 0)}),
              std::tuple(-488, u"#-462", u"#-462", 1, -465));
    EXPECT_EQ(
        std::tuple(get(h, nullptr), get(h, u"00000002", 5), get(h, 1, 4), get(h, 1, 3), get(h, 3)),
        std::tuple(u"#-460", u"abcd", u"one", u"#-468", u"#-469"));
    for (int32_t room : {4, 0, -1, INT32_MIN}) EXPECT_EQ(get(h, u"00000002", room), u"#-468");
    EXPECT_EQ(i18nuni_LookupByKey(h, u"00000002", nullptr, 5), -468);

    // One loaded file for every handle on the name and format.
    test::write(dir / "k.lcu", lcu::build_catalogue({{1, u"new", 0}}, u"k"));
    test::write(dir / "update.lcu", file);
    EXPECT_EQ((std::tuple{open("k", 0, reader), open("k", 0, other, 2), open("update", 1, writer),
                          open("new", 2, created), get(reader, 1), get(other, 1), get(writer, 2),
                          get(created, 1), test::slurp(dir / "new.lcu")}),
              std::tuple(1, 1, 1, 1, u"one", u"new", u"abcd", u"#-469", ""));
    // clang-format off
    const std::tuple<const char *, int32_t, int32_t> opens[] = {  // name, mode, result
        {"k", 1, -462}, {"k", 2, -462}, {"k", 3, -459}, {"absent", 3, -479}, {"absent", 0, -479},
        {"k", 4, -488}, {"caf\xE9", 0, -478}, {"update", 0, -462}, {"update", 1, -462},
        {"update", 2, -462}, {"new", 0, -462}, {"new", 1, -462}, {"new", 2, -462}, {"no/such/dir", 2, -458}};
    // clang-format on
    for (const auto &[name, mode, r] : opens) EXPECT_EQ(open(name, mode, h), r) << name;

    std::vector<lcu::Message> messages = {{1, u"one", 0}, {2, std::u16string(40000, u'x'), 0}};
    for (uint32_t n = 3; n < 100; ++n) messages.push_back({n * 9, u"v", 0});
    const std::string bytes = lcu::build_catalogue(messages, u"names");
    for (const char *name : {"oom.lcu", "io.lcu", "io2.lcu"}) test::write(dir / name, bytes);
    const int steps = test::sweep_allocations([&](int) {
        const int32_t r = open("oom", I18N_MODE_READ, h);
        EXPECT_EQ(std::tuple(r, get(h, 1)),
                  r == 1 ? std::tuple(1, u"one") : std::tuple(-457, h ? u"#-462" : u"#-456"));
    });
    EXPECT_GT(steps, 10);
    for (int64_t k = 0; k < 7; ++k) {  // the header, two pages, the names, two pieces of strings
        test::fail(i18n::Fault::read, k, 1);
        EXPECT_EQ((std::tuple{open("io", I18N_MODE_READ, h), get(h, 1)}),
                  std::tuple(k < 6 ? -463 : 1, k < 6 ? u"#-462" : u"one"));
    }
    test::fail(i18n::Fault::read, 0, 0);
    EXPECT_EQ(get(h, 2, 40001), std::u16string(40000, u'x'));
    test::fail(i18n::Fault::open, 0, -1);  // every open from here on fails
    EXPECT_EQ(std::tuple(open("io", 3, h), open("io2", 0, h), open("new2", 2, h)),
              std::tuple(-479, -479, -458));
    test::fail(i18n::Fault::open, 0, 0);
}

}  // namespace
