// The library context: creation, release, attributes and the version, seen
// through the public calls and the handler.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "diag/msg.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "temp_dir.h"

namespace {

using kavrel_test::capture;
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Line;

std::string msgs_dir() {
    const char *share = std::getenv("KAVREL_SHARE");
    return share == nullptr ? std::string() : std::string(share) + "/msgs";
}

bool has_line(const std::string &needle) {
    for (const Line &l : g_lines) {
        if (l.text.find(needle) != std::string::npos) return true;
    }
    return false;
}

class Context : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        kavrel_free(&ctx);
        kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
    }
    uint32_t init(const char *instance, const char *directory, const char *propfile = nullptr,
                  const char *locale = "en_US", const char *msgdir = nullptr,
                  const char *product = "prod") {
        return kavrel_init(&ctx, product, instance, directory, nullptr, propfile, locale, msgdir,
                           capture);
    }
    TempDir dir;
    KAVREL_CTX *ctx = nullptr;
};

TEST_F(Context, NullAppCtxReachesTheHandlerThroughTheStandByContext) {
    EXPECT_EQ(
        kavrel_init(nullptr, "p", nullptr, "/tmp", nullptr, nullptr, nullptr, nullptr, capture),
        1000000u);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].severity, 100);
    EXPECT_EQ(g_lines[0].number, 1000000);
    EXPECT_EQ(g_lines[0].text,
              "Programming Error: kavrel_init() app_ctx parameter should be KAVREL_CONTEXT **");
    EXPECT_NE(g_lines[0].ctx, nullptr);
}

TEST_F(Context, MissingDirectoryOrProductNameIsAnAssertionAndLeavesNoContext) {
    ctx = reinterpret_cast<KAVREL_CTX *>(&g_lines);  // must be overwritten
    EXPECT_EQ(init(nullptr, nullptr), 1000000u);
    EXPECT_EQ(ctx, nullptr);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].number, 1000000);
    EXPECT_EQ(g_lines[0].text.rfind("Assertion failed in kavrel at line ", 0), 0u);
    EXPECT_TRUE(has_line(": (directory != NULL)"));
    g_lines.clear();
    EXPECT_EQ(init(nullptr, dir.str().c_str(), nullptr, "en_US", nullptr, nullptr), 1000000u);
    EXPECT_EQ(ctx, nullptr);
    EXPECT_TRUE(has_line(": (product_name != NULL)"));
}

TEST_F(Context, PropertiesFileNameFollowsDirectoryAndInstance) {
    const std::string d = dir.str();
    struct Case {
        const char *instance;
        std::string directory, propfile, expected_dir, expected_file;
        bool given;
    } cases[] = {
        {"inst", d + "\\\\", "", d, d + "/inst_tavro.properties", false},
        {"inst", d + "//", "", d, d + "/inst_tavro.properties", false},
        {"", d, "", d, d + "/_tavro.properties", false},
        {nullptr, d, "", d, d + "/tavro.properties", false},
        {"inst", d, d + "/own.properties", d, d + "/own.properties", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.directory + " " + (c.instance ? c.instance : "(none)"));
        ASSERT_EQ(init(c.instance, c.directory.c_str(), c.given ? c.propfile.c_str() : nullptr),
                  0u);
        EXPECT_EQ(ctx->directory, c.expected_dir);
        EXPECT_EQ(ctx->propfile, c.expected_file);
        if (c.instance == nullptr) {
            EXPECT_EQ(ctx->instance, nullptr);
        }
        EXPECT_EQ(kavrel_free(&ctx), 0u);
        EXPECT_EQ(ctx, nullptr);
    }
}

TEST_F(Context, EnUsInAnyCaseOpensNoCatalogueAndKeepsTheLocaleAsWritten) {
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, KAVREL_TRACE_ALL);
    ASSERT_EQ(init(nullptr, dir.str().c_str(), nullptr, "EN_us"), 0u);
    EXPECT_EQ(ctx->msg, nullptr);
    EXPECT_STREQ(ctx->locale, "EN_us");
    EXPECT_TRUE(has_line("kavrel_init(en_US): Verblib will not be used\n"));
}

TEST_F(Context, UnknownLocaleResolvesToEnUsAndOpensItsCatalogue) {
    if (msgs_dir().empty()) GTEST_SKIP() << "KAVREL_SHARE not set";
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, KAVREL_TRACE_ALL);
    ASSERT_EQ(init(nullptr, dir.str().c_str(), nullptr, "US-eng", msgs_dir().c_str()), 0u);
    ASSERT_NE(ctx->msg, nullptr);
    EXPECT_STREQ(ctx->msg->locale, "en_US");
    EXPECT_STREQ(ctx->locale, "US-eng");
    EXPECT_TRUE(has_line("kavrel_init: locale set to en_US\n"));
}

TEST_F(Context, MissingCatalogueIsAWarningAndTheContextWorksInEnglish) {
    ASSERT_EQ(init(nullptr, dir.str().c_str(), nullptr, "de_DE", dir.str().c_str()), 0u);
    EXPECT_EQ(ctx->msg, nullptr);
    EXPECT_STREQ(ctx->locale, "en_US");
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].severity, 80);
    EXPECT_EQ(g_lines[0].number, 1);
    EXPECT_EQ(g_lines[0].text, "Failed to open the localised message file '" + dir.str() +
                                   "/de_de/kavrel.lcu' (i18nuni_FileOpen returned -479)");
}

TEST_F(Context, CreationTraceLinesFollowTheDefaultMask) {
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, KAVREL_TRACE_ALL);
    ASSERT_EQ(init("i1", dir.str().c_str()), 0u);
    ASSERT_GE(g_lines.size(), 7u);
    EXPECT_EQ(g_lines[0].text, kavrel_version());
    EXPECT_EQ(g_lines[1].text, "kavrel_init called by prod instance i1\n");
    EXPECT_EQ(g_lines[2].text, "kavrel_init using locale en_US with msgs at (null)\n");
    EXPECT_EQ(g_lines[3].text, "kavrel_init using properties at (null) with template at (null)\n");
    EXPECT_EQ(g_lines[4].text.rfind("kavrel_init created CTX at ", 0), 0u);
    EXPECT_EQ(g_lines[5].text.rfind("Initialized Memory list at ", 0), 0u);
    EXPECT_EQ(g_lines[6].text.rfind("Initialized Properties list at ", 0), 0u);
    for (const Line &l : g_lines) EXPECT_EQ(l.severity, 20);

    g_lines.clear();
    ASSERT_EQ(kavrel_free(&ctx), 0u);
    EXPECT_TRUE(has_line("kavrel_free STRFREE\n"));
    EXPECT_TRUE(has_line("kavrel_free destroying locks\n"));
    EXPECT_EQ(g_lines.back().text.rfind("kavrel_free free CTX at ", 0), 0u);
}

TEST_F(Context, DefaultMaskWithoutListBitWritesNoListLinesAndZeroMaskNothing) {
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0x2);
    ASSERT_EQ(init(nullptr, dir.str().c_str()), 0u);
    EXPECT_FALSE(has_line("Initialized"));
    EXPECT_TRUE(has_line("kavrel_init called by"));
    uint32_t mask = 0;
    EXPECT_EQ(kavrel_get_attr(ctx, KAVREL_A_TRACE, &mask), 0u);
    EXPECT_EQ(mask, 0x2u);
    kavrel_free(&ctx);

    kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
    g_lines.clear();
    ASSERT_EQ(init(nullptr, dir.str().c_str()), 0u);
    kavrel_free(&ctx);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(Context, AttributesRoundTripAndTraceTheirCalls) {
    ASSERT_EQ(init(nullptr, dir.str().c_str()), 0u);
    ASSERT_EQ(kavrel_set_attr(ctx, KAVREL_A_TRACE, KAVREL_TRACE_ATTR), 0u);
    EXPECT_EQ(g_lines.back().text, "kavrel_set_attr: (KAVREL_A_TRACE, 0x2)\n");
    ASSERT_EQ(kavrel_set_attr(ctx, KAVREL_A_EMAIL_NOTIFICATION, 7), 0u);
    EXPECT_EQ(g_lines.back().text, "kavrel_set_attr: (KAVREL_A_EMAIL_NOTIFICATION, 7)\n");
    uint32_t value = 0;
    ASSERT_EQ(kavrel_get_attr(ctx, KAVREL_A_EMAIL_NOTIFICATION, &value), 0u);
    EXPECT_EQ(value, 7u);
    EXPECT_EQ(g_lines.back().text, "kavrel_get_attr: (KAVREL_A_EMAIL_NOTIFICATION, 7)\n");
    ASSERT_EQ(kavrel_get_attr(ctx, KAVREL_A_TRACE, &value), 0u);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(g_lines.back().text, "kavrel_get_attr: (KAVREL_A_TRACE, 0x2)\n");
}

TEST_F(Context, UnknownAttributeAndNullOutputAreAssertionsThroughTheHandler) {
    ASSERT_EQ(init(nullptr, dir.str().c_str()), 0u);
    EXPECT_EQ(kavrel_set_attr(ctx, 42, 1), 1000000u);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].number, 1000000);
    EXPECT_NE(g_lines[0].text.find("(attribute == KAVREL_A_TRACE)"), std::string::npos);
    uint32_t value = 0;
    EXPECT_EQ(kavrel_get_attr(ctx, 42, &value), 1000000u);
    EXPECT_EQ(kavrel_get_attr(ctx, KAVREL_A_TRACE, nullptr), 1000000u);
    EXPECT_NE(g_lines.back().text.find("(value_out != NULL)"), std::string::npos);
}

TEST_F(Context, CallsWithoutATrustedContextWriteToStandardError) {
    ASSERT_EQ(init(nullptr, dir.str().c_str()), 0u);
    const std::string magic =
        "((ctx != (KAVREL_CTX *) NULL) && (ctx->magic == KAVREL_CTX_MAGIC))\n";
    KAVREL_CTX broken = *ctx;
    broken.magic = 0;
    KAVREL_CTX *broken_ptr = &broken;
    uint32_t value = 0;
    struct Case {
        std::function<uint32_t()> call;
        std::string tail;
    } cases[] = {
        {[&] { return kavrel_set_attr(nullptr, KAVREL_A_EMAIL_NOTIFICATION, 1); },
         ": (app_ctx != NULL)\n"},
        {[&] { return kavrel_get_attr(nullptr, KAVREL_A_TRACE, &value); }, ": (app_ctx != NULL)\n"},
        {[&] { return kavrel_set_attr(&broken, KAVREL_A_TRACE, 1); }, magic},
        {[&] { return kavrel_get_attr(&broken, KAVREL_A_TRACE, &value); }, magic},
        {[&] { return kavrel_free(&broken_ptr); }, magic},
        {[&] { return kavrel_free(nullptr); },
         "Programming Error: kavrel_init() app_ctx parameter should be KAVREL_CONTEXT **"},
    };
    for (Case &c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.call(), 1000000u);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.substr(err.size() - std::min(err.size(), c.tail.size())), c.tail);
    }
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(Context, FreeTwiceIsHarmlessAndDefaultMaskZeroSticks) {
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0xFF);
    kavrel_set_attr(nullptr, KAVREL_A_TRACE, 0);
    ASSERT_EQ(init(nullptr, dir.str().c_str()), 0u);
    EXPECT_EQ(ctx->trace, 0u);
    EXPECT_EQ(kavrel_free(&ctx), 0u);
    EXPECT_EQ(kavrel_free(&ctx), 0u);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(Context, VersionIsTheFixedBanner) {
    EXPECT_STREQ(kavrel_version(),
                 "libkavrel - Orvane Kavrel Client Support Library/1.8.1/15/32bit/1/P/NT "
                 "(IX86)/Windows 2000/OPT/Fri Sep 26 16:59:48 2008");
}

// Allocation failures while a context is built: the record itself, the
// name copies (initialisation goes on) and the paths (131112).
TEST_F(Context, RecordAllocationFailureIs131229) {
    kavrel_test_fail_alloc(0, 1);
    EXPECT_EQ(init(nullptr, dir.str().c_str()), 131229u);
    EXPECT_EQ(ctx, nullptr);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_EQ(g_lines[0].number, 131229);
    EXPECT_EQ(g_lines[0].text,
              "Failed to allocate " + std::to_string(sizeof(KAVREL_CTX)) + " bytes.");
}

TEST_F(Context, EveryAllocationOfInitCanFailWithoutCrashOrLeak) {
    // Allocations in order: record, product name, instance, locale,
    // directory, properties path (each tracked block may also grow the
    // block index, which counts as one more).
    int successes = 0;
    for (int64_t k = 0; k < 16; ++k) {
        SCOPED_TRACE(k);
        g_lines.clear();
        kavrel_test_fail_alloc(k, 1);
        const uint32_t status = init("inst", dir.str().c_str());
        kavrel_test_fail_alloc(0, 0);
        EXPECT_TRUE(status == 0 || status == 131229u || status == 131112u) << status;
        if (status == 0) {
            ++successes;
            ASSERT_NE(ctx, nullptr);
            ASSERT_NE(ctx->propfile, nullptr);
            EXPECT_TRUE(ctx->productname == nullptr || std::string(ctx->productname) == "prod");
        } else {
            EXPECT_EQ(ctx, nullptr);
            EXPECT_FALSE(g_lines.empty());
        }
        kavrel_free(&ctx);
    }
    EXPECT_GT(successes, 0);
}

TEST_F(Context, FailedNameCopyIsReportedAndInitialisationGoesOn) {
    kavrel_test_fail_alloc(1, 1);  // the record succeeds, the product name copy fails
    ASSERT_EQ(init("inst", dir.str().c_str()), 0u);
    EXPECT_EQ(ctx->productname, nullptr);
    ASSERT_FALSE(g_lines.empty());
    EXPECT_EQ(g_lines[0].number, 1000000);
    EXPECT_EQ(g_lines[0].text.rfind("Failed to allocate ", 0), 0u);
    EXPECT_STREQ(ctx->instance, "inst");
}

}  // namespace
