// The library context: creation, release, attributes and the version, seen
// through the public calls and the handler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "diag/msg.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/mem.h"
#include "temp_dir.h"

namespace {

using kavrel_test::capture;
using kavrel_test::fmt;
using kavrel_test::g_lines;
using kavrel_test::Line;

// Every captured line as "<severity> <number> <text>|".
std::string lines() {
    std::string all;
    for (const Line &l : g_lines) all += fmt("%d %d %s|", l.severity, l.number, l.text.c_str());
    return all;
}

class Context : public ::testing::Test {
  protected:
    void SetUp() override { kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0); }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        kavrel_free(&ctx);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
    }
    uint32_t init(const char *instance, const std::string &directory,
                  const char *propfile = nullptr, const char *locale = "en_US",
                  const char *msgdir = nullptr) {
        g_lines.clear();
        return kavrel_init(&ctx, "prod", instance, directory.c_str(), nullptr, propfile, locale,
                           msgdir, capture);
    }
    TempDir dir;
    const std::string d = dir.str();
    KAVREL_CTX *ctx = nullptr;
};

// Both attributes read back what was set. Programming errors answer 1000000:
// they reach the handler when a context (the caller's, or the stand-by one
// of kavrel_init) can carry them, and standard error otherwise; a failed
// kavrel_init leaves no context.
TEST_F(Context, AttributesAndProgrammingErrors) {
    ASSERT_EQ(init(nullptr, d), 0u);
    for (int32_t attribute : {KAVREL_A_EMAIL_NOTIFICATION, KAVREL_A_TRACE}) {
        uint32_t value = 0;
        ASSERT_EQ(kavrel_set_attr(ctx, attribute, 0x40), 0u);
        ASSERT_EQ(kavrel_get_attr(ctx, attribute, &value), 0u);
        EXPECT_EQ(value, 0x40u);
    }
    const std::string app_ctx =
        "Programming Error: kavrel_init() app_ctx parameter should be KAVREL_CONTEXT **";
    const auto assertion = [](const std::string &condition) {
        return "Assertion failed in kavrel at line N: " + condition;
    };
    const auto handler = [](const std::string &text) { return "100 1000000 " + text + "|"; };
    const std::string magic =
        assertion("((ctx != (KAVREL_CTX *) NULL) && (ctx->magic == KAVREL_CTX_MAGIC))\n");
    const std::string attribute = handler(
        assertion("((attribute == KAVREL_A_TRACE) || (attribute == KAVREL_A_EMAIL_NOTIFICATION))"));
    KAVREL_CTX broken = *ctx;
    broken.magic = 0;
    KAVREL_CTX *broken_ptr = &broken;
    uint32_t value = 0;
    const auto make = [&](const char *product, const char *directory) {
        KAVREL_CTX *made = &broken;  // must be overwritten
        const uint32_t status = kavrel_init(&made, product, nullptr, directory, nullptr, nullptr,
                                            "en_US", nullptr, capture);
        EXPECT_EQ(made, nullptr);
        return status;
    };
    const struct {
        std::function<uint32_t()> call;
        std::string expected;  // on standard error, then each handler line
    } cases[] = {
        {[&] {
             return kavrel_init(nullptr, "p", nullptr, "/", nullptr, nullptr, nullptr, nullptr,
                                capture);
         },
         handler(app_ctx)},
        {[&] { return make("prod", nullptr); }, handler(assertion("(directory != NULL)"))},
        {[&] { return make(nullptr, d.c_str()); }, handler(assertion("(product_name != NULL)"))},
        {[&] { return kavrel_set_attr(ctx, 42, 1); }, attribute},
        {[&] { return kavrel_get_attr(ctx, 42, &value); }, attribute},
        {[&] { return kavrel_get_attr(ctx, KAVREL_A_TRACE, nullptr); },
         handler(assertion("(value_out != NULL)"))},
        {[&] { return kavrel_set_attr(nullptr, KAVREL_A_EMAIL_NOTIFICATION, 1); },
         assertion("(app_ctx != NULL)\n")},
        {[&] { return kavrel_get_attr(&broken, KAVREL_A_TRACE, &value); }, magic},
        {[&] { return kavrel_free(&broken_ptr); }, magic},
        {[&] { return kavrel_free(nullptr); }, app_ctx},
    };
    for (const auto &c : cases) {
        g_lines.clear();
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.call(), 1000000u) << c.expected;
        const std::string out = testing::internal::GetCapturedStderr() + lines();
        EXPECT_EQ(std::regex_replace(out, std::regex("at line [0-9]+:"), "at line N:"), c.expected);
        for (const Line &l : g_lines) EXPECT_NE(l.ctx, nullptr);
    }
}

TEST_F(Context, PropertiesFileNameFollowsDirectoryAndInstance) {
    const struct {
        const char *instance;
        std::string directory, propfile, expected;
    } cases[] = {
        {"inst", d + "\\\\", "", d + "/inst_tavro.properties"},
        {"inst", d + "//", "", d + "/inst_tavro.properties"},
        {"", d, "", d + "/_tavro.properties"},
        {nullptr, d, "", d + "/tavro.properties"},
        {"inst", d, d + "/own.properties", d + "/own.properties"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.directory + " " + (c.instance ? c.instance : "(none)"));
        ASSERT_EQ(init(c.instance, c.directory, c.propfile.empty() ? nullptr : c.propfile.c_str()),
                  0u);
        EXPECT_EQ(ctx->directory, d);
        EXPECT_EQ(ctx->propfile, c.expected);
        EXPECT_TRUE(c.instance != nullptr || ctx->instance == nullptr);
        kavrel_free(&ctx);
    }
}

// en_US in any case opens no catalogue; another locale opens the catalogue
// of its code (an unknown one: en_US's) and keeps its name as written; a
// catalogue that cannot be opened is a warning and leaves the context in
// English.
TEST_F(Context, LocaleChoosesTheCatalogue) {
    const char *share = std::getenv("KAVREL_SHARE");
    const std::string msgs = share == nullptr ? d : std::string(share) + "/msgs";
    const std::string missing = "80 1 Failed to open the localised message file '" + d +
                                "/de_de/kavrel.lcu' (i18nuni_FileOpen returned -479)|";
    const struct {
        const char *locale, *msgdir, *catalogue, *stored;  // catalogue: null when none is open
        std::string line;
    } cases[] = {
        {"EN_us", nullptr, nullptr, "EN_us",
         "20 0 kavrel_init(en_US): Verblib will not be used\n|"},
        {"US-eng", msgs.c_str(), "en_US", "US-eng", "20 0 kavrel_init: locale set to en_US\n|"},
        {"de_DE", d.c_str(), nullptr, "en_US", missing},
    };
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, KAVREL_TRACE_ALL);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.locale);
        if (share == nullptr && c.catalogue != nullptr) continue;
        ASSERT_EQ(init(nullptr, d, nullptr, c.locale, c.msgdir), 0u);
        EXPECT_STREQ(ctx->msg == nullptr ? nullptr : ctx->msg->locale, c.catalogue);
        EXPECT_STREQ(ctx->locale, c.stored);
        EXPECT_NE(lines().find(c.line), std::string::npos) << lines();
        kavrel_free(&ctx);
    }
}

TEST_F(Context, CreationAndReleaseTraceLinesFollowTheDefaultMask) {
    kavrel_set_attr(nullptr, KAVREL_A_TRACE,
                    KAVREL_TRACE_ALL & ~(KAVREL_TRACE_MEMORY | KAVREL_TRACE_PROP));
    ASSERT_EQ(init("i1", d), 0u);
    const void *record = ctx;
    EXPECT_EQ(lines(),
              "20 0 " + std::string(kavrel_version()) +
                  "|20 0 kavrel_init called by prod instance i1\n"
                  "|20 0 kavrel_init using locale en_US with msgs at (null)\n"
                  "|20 0 kavrel_init using properties at (null) with template at (null)\n" +
                  fmt("|20 0 kavrel_init created CTX at %p\n", record) +
                  fmt("|20 0 Initialized Memory list at %p\n", static_cast<void *>(&ctx->memory)) +
                  fmt("|20 0 Initialized Properties list at %p\n",
                      static_cast<void *>(&ctx->properties)) +
                  "|20 0 kavrel_init(en_US): Verblib will not be used\n|");
    EXPECT_STREQ(kavrel_version(),
                 "libkavrel - Orvane Kavrel Client Support Library/1.8.1/15/32bit/1/P/NT "
                 "(IX86)/Windows 2000/OPT/Fri Sep 26 16:59:48 2008");
    g_lines.clear();
    ASSERT_EQ(kavrel_free(&ctx), 0u);
    EXPECT_EQ(lines(),
              "20 0 kavrel_free freeing properties\n"
              "|20 0 kavrel_free DISABLED freeing email as it's global\n"
              "|20 0 kavrel_free STRFREE\n|20 0 kavrel_free destroying locks\n" +
                  fmt("|20 0 kavrel_free free CTX at %p\n|", record));

    // Without the list bit there are no list lines; a default of 0 (even
    // after another one) writes nothing; a second release is harmless.
    for (uint32_t mask : {0x2u, 0u}) {
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0xFF);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, mask);
        ASSERT_EQ(init(nullptr, d), 0u);
        EXPECT_EQ(ctx->trace, mask);
        EXPECT_EQ(g_lines.empty(), mask == 0);
        EXPECT_EQ(lines().find("Initialized"), std::string::npos);
        EXPECT_EQ(kavrel_free(&ctx), 0u);
        EXPECT_EQ(kavrel_free(&ctx), 0u);
    }
    EXPECT_TRUE(g_lines.empty());
}

// Each allocation of kavrel_init fails in turn: the record (131229), the
// name copies (reported; initialisation goes on), the paths (131112), and
// whatever else init allocates; never a crash or a leak.
TEST_F(Context, EveryAllocationOfInitCanFail) {
    for (int64_t k = 0; k < 16; ++k) {
        SCOPED_TRACE(k);
        kavrel_test_fail_alloc(k, 1);
        const uint32_t status = init("inst", d);
        kavrel_test_fail_alloc(0, 0);
        EXPECT_TRUE(status == 0 || status == 131229u || status == 131112u) << status;
        EXPECT_EQ(status != 0, ctx == nullptr);
        EXPECT_TRUE(status == 0 || !g_lines.empty());
        EXPECT_TRUE(k < 15 || (status == 0 && g_lines.empty())) << "the sweep is too short";
        ASSERT_TRUE(status != 0 || ctx->propfile != nullptr);
        EXPECT_TRUE(ctx == nullptr || !ctx->productname || std::string(ctx->productname) == "prod");
        if (k == 0) {
            EXPECT_EQ(status, 131229u);
            EXPECT_EQ(g_lines,
                      (std::vector<Line>{{100, 131229,
                                          "Failed to allocate " +
                                              std::to_string(sizeof(KAVREL_CTX)) + " bytes."}}));
        } else if (k == 1) {  // the product name's copy
            ASSERT_EQ(status, 0u);
            EXPECT_EQ(ctx->productname, nullptr);
            EXPECT_STREQ(ctx->instance, "inst");
            EXPECT_EQ(g_lines.at(0),
                      (Line{100, 1000000,
                            "Failed to allocate " + std::to_string(8 + sizeof(kavrel::KAVREL_MEM)) +
                                " bytes of memory."}));
        }
        kavrel_free(&ctx);
    }
}

}  // namespace
