// The context's public calls: a whole session with every trace category on,
// the checks of every call, names and paths, the properties file created at
// start, failed allocations at every step of creation, and a French context.
#include <functional>
#include <regex>
#include <set>

#include "kavrel_fixture.h"

using namespace test;

namespace {

const std::string kMsgs = std::string(KAVREL_SHARE_DIR) + "/msgs";

// A session as kelpi_install sees it, with properties, comments, settings
// the library refuses and a line it does not read.
TEST_F(ContextTest, SessionWithEveryTraceCategory) {
    ASSERT_EQ(open("# settings\nemail.smtp.port=none\nemail.severity=LOUD_AND_CLEAR_21CHAR\nodd "
                   "line\nk=v\n",
                   KAVREL_TRACE_ALL, "US-eng", kMsgs.c_str()),
              0u);
    uint32_t value = 0;
    kavrel_store_prop(ctx_, "new=key", "1");
    EXPECT_EQ(retrieve("new?key"), "1");
    kavrel_store_prop(ctx_, "k", nullptr);
    kavrel_set_attr(ctx_, KAVREL_A_EMAIL_NOTIFICATION, 7);
    kavrel_get_attr(ctx_, KAVREL_A_EMAIL_NOTIFICATION, &value);
    EXPECT_EQ(value, 7u);
    for (uint32_t mask : {0x21u, 0x09u, 0x01u, 0x02u}) kavrel_set_attr(ctx_, KAVREL_A_TRACE, mask);
    kavrel_get_attr(ctx_, KAVREL_A_TRACE, &value);
    EXPECT_EQ(value, 2u);
    kavrel_set_attr(ctx_, 4242, 1);
    kavrel_set_attr(ctx_, KAVREL_A_TRACE, KAVREL_TRACE_ALL);
    kavrel_free(&ctx_);
    expect_golden("session.txt", normalise(take_lines(), dir_.str(), true));
    EXPECT_EQ(
        read_text(propfile()),
        "# settings\nemail.smtp.port=none\nemail.severity=LOUD_AND_CLEAR_21CHAR\nnew?key=1\n");
}

// What every call says of the arguments it cannot work with.
TEST_F(ContextTest, ChecksOfEveryCall) {
    ASSERT_EQ(open(), 0u);
    KAVREL_CTX broken{}, *none = nullptr;
    char buffer[8];
    uint32_t value = 0;
    const std::string dir = dir_.str();
    const auto init = [&](KAVREL_CTX **ctx, const char *product, const std::string &directory,
                          const char *propfile, const char *locale) {
        return kavrel_init(ctx, product, nullptr, directory.empty() ? nullptr : directory.c_str(),
                           nullptr, propfile, locale, nullptr, capture);
    };
    const std::vector<std::function<uint32_t()>> calls = {
        [&] { return init(nullptr, "P", dir, nullptr, nullptr); },
        [&] { return init(&none, "P", "", nullptr, "en_US"); },
        [&] { return init(&none, nullptr, dir, nullptr, "en_US"); },
        [&] { return init(&none, "P", dir, "", "en_US"); },
        [&] { return init(&none, "P", dir + "/no", nullptr, "en_US"); },
        [&] { return kavrel_free(nullptr); },
        [&] { return kavrel_free(&none); },
        [&] {
            KAVREL_CTX *b = &broken;
            return kavrel_free(&b);
        },
        [&] { return kavrel_set_attr(nullptr, KAVREL_A_EMAIL_NOTIFICATION, 1); },
        [&] { return kavrel_set_attr(&broken, KAVREL_A_TRACE, 1); },
        [&] { return kavrel_get_attr(nullptr, KAVREL_A_TRACE, &value); },
        [&] { return kavrel_get_attr(ctx_, KAVREL_A_TRACE, nullptr); },
        [&] { return kavrel_get_attr(ctx_, 7, &value); },
        [&] { return kavrel_store_prop(&broken, "a", "b"); },
        [&] { return kavrel_store_prop(ctx_, nullptr, "b"); },
        [&] { return kavrel_retrieve_prop(nullptr, "a", buffer, 7); },
        [&] { return kavrel_retrieve_prop(ctx_, nullptr, buffer, 7); },
        [&] { return kavrel_retrieve_prop(ctx_, "a", nullptr, 7); },
    };
    std::string text;
    for (const auto &call : calls) {
        testing::internal::CaptureStderr();
        const uint32_t status = call();
        text += std::to_string(status) + " [" + testing::internal::GetCapturedStderr() + "]\n" +
                take_lines();
        EXPECT_EQ(none, nullptr);
    }
    expect_golden("calls.txt", normalise(text, dir));
}

// Names kept and the properties file's path: trailing separators dropped,
// the instance (even empty) in front of the default name, a path given as
// it is, and a file created from a template when there is none.
TEST_F(ContextTest, NamesAndPaths) {
    write(dir_ / "templ", "# from the template\nt=1\n");
    fs::create_directory(dir_ / "x");
    const struct {
        const char *instance, *directory, *propfile, *templ, *locale;
        const char *kept_locale, *path, *content, *kept_directory = "x";
    } cases[] = {
        {"i", "x//\\/", nullptr, nullptr, "EN_us", "EN_us", "x/i_tavro.properties", ""},
        {"", "x", nullptr, "none", "en_us", "en_us", "x/_tavro.properties", ""},
        {nullptr, "x\\", nullptr, "templ", "Thai", "en_US", "x/tavro.properties",
         "# from the template\nt=1\n"},
        {nullptr, "x", "P", nullptr, "en_US", "en_US", "P", ""},
        {"e", "", nullptr, nullptr, "en_US", "en_US", "./e_tavro.properties", "", "."},
    };
    const fs::path cwd = fs::current_path();
    fs::current_path(dir_.str());
    for (const auto &c : cases) {
        KAVREL_CTX *ctx = nullptr;
        ASSERT_EQ(kavrel_init(&ctx, "P", c.instance, c.directory, c.templ, c.propfile, c.locale,
                              nullptr, capture),
                  0u);
        EXPECT_STREQ(ctx->directory, c.kept_directory);
        EXPECT_EQ(std::string(ctx->propfile),
                  replaced(c.path, "/", std::string(1, i18n::kPathSeparator)));
        EXPECT_STREQ(ctx->locale, c.kept_locale);
        EXPECT_EQ(read_text(c.path), c.content);
        kavrel_free(&ctx);
    }
    fs::current_path(cwd);
    g_lines.clear();
}

// Every allocation of a context's creation failing in turn: the call fails
// with the step's status, its messages reach the handler, nothing is left.
TEST_F(ContextTest, EveryAllocationOfCreationFailing) {
    write(propfile(), "k=v\nemail.helo.fqdn=me\n");
    ASSERT_EQ(open("", 0, "fr_FR", kMsgs.c_str()), 0u);  // the catalogue is open from now on
    kavrel_free(&ctx_);
    KAVREL_CTX *ctx = nullptr;
    std::set<uint32_t> statuses;
    const int steps = sweep_allocations([&](int) {
        g_lines.clear();
        const uint32_t status = kavrel_init(&ctx, "P", "p", dir_.str().c_str(), nullptr, nullptr,
                                            "fr_FR", kMsgs.c_str(), capture);
        statuses.insert(status);
        EXPECT_EQ(status != 0, ctx == nullptr);
        EXPECT_FALSE(status != 0 && g_lines.empty());
        kavrel_free(&ctx);
    });
    EXPECT_GT(steps, 10);
    EXPECT_EQ(statuses, (std::set<uint32_t>{0, KAVREL_E_NOMEM, KAVREL_E_PATH_NOMEM}));
    ASSERT_EQ(open(), 0u);
    EXPECT_EQ(retrieve("k"), "v");
    EXPECT_STREQ(ctx_->helo, "me");
}

// The warning of a missing catalogue names the file looked for, with the
// installation root (%ORVANE%) or the product's directory: a catalogue put
// there is found by the next context.
TEST_F(ContextTest, MissingCatalogueWarningNamesTheFileLookedFor) {
    const std::string msgdir = dir_ / "msgs", root = dir_ / "root";
    set_env("ORVTEST", root.c_str());
    // Catalogues are shared by locale for the life of the process: one each.
    for (const auto &[in, locale] : {std::pair(msgdir.c_str(), "pl_PL"),
                                     std::pair(static_cast<const char *>(nullptr), "pt_PT")}) {
        g_lines.clear();
        ASSERT_EQ(open("", 0, locale, in), 0u);
        kavrel_free(&ctx_);
        const std::string lines = take_lines();
        std::smatch named;
        ASSERT_TRUE(std::regex_search(lines, named, std::regex("file '(%ORVANE%)?(.+)'")))
            << locale;
        const std::string path = (named[1].matched ? root : "") + named[2].str();
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file(kMsgs + "/fr_FR/kavrel.lcu", path);
        ASSERT_EQ(open("", 0, locale, in), 0u);
        EXPECT_NE(ctx_->msg, nullptr) << path;
        kavrel_free(&ctx_);
    }
    set_env("ORVTEST", nullptr);
}

// A French context: texts from the catalogue, labels in English on
// standard error; the default trace mask is taken by contexts made later.
TEST_F(ContextTest, FrenchAndTheDefaultMask) {
    ASSERT_EQ(open("", KAVREL_TRACE_LISTS, "French", kMsgs.c_str()), 0u);
    uint32_t mask = 0;
    kavrel_get_attr(ctx_, KAVREL_A_TRACE, &mask);
    EXPECT_EQ(mask, KAVREL_TRACE_LISTS);
    g_lines.clear();
    g_answer = 1;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), 1000000u);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_TRUE(
        std::regex_match(g_lines[0].text, std::regex("\xC3\x89"
                                                     "chec de l'assertion \\(\\(attribute == "
                                                     ".+ dans kavrel \xC3\xA0 la ligne [0-9]+")))
        << g_lines[0].text;
    EXPECT_EQ(err, "Error 1000000: " + g_lines[0].text + "\n");
}

}  // namespace
