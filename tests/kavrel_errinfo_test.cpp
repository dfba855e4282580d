// The error-information record: how messages are grouped into entries and
// details, the limits and flags of the record, routing to the handler or to
// standard error, the severity labels, and what happens when a message
// cannot be allocated.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diag/errinfo.h"
#include "diag/msg.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/platform.h"
#include "temp_dir.h"

using namespace kavrel;

namespace {

using kavrel_test::capture;
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Line;

std::string share_dir() {
    const char *share = std::getenv("KAVREL_SHARE");
    return share == nullptr ? std::string() : std::string(share);
}

// A record in the test's frame that is routed when the test ends, so that no
// held message outlives it.
struct Record {
    explicit Record(KAVREL_CTX *ctx, LOCALE_DES *des = nullptr) { errinfo_begin(ctx, des, &ei); }
    ~Record() { errinfo_route(&ei); }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    KAVREL_ERR_INFO ei;
};

// The record as entry texts, each with its detail texts in ring order. The
// links are checked on the way: every next has a matching prev, and a detail
// is in no entry list.
struct Shape {
    std::string entry;
    std::vector<std::string> details;
    bool operator==(const Shape &o) const { return entry == o.entry && details == o.details; }
};

void PrintTo(const Shape &s, std::ostream *os) {
    *os << s.entry << "[";
    for (const auto &d : s.details) *os << d << " ";
    *os << "]";
}

std::vector<Shape> shape_of(KAVREL_ERR_INFO &ei) {
    std::vector<Shape> shape;
    for (KAVREL_LINK *l = ei.errq.next; l != &ei.errq; l = l->next) {
        EXPECT_EQ(l->next->prev, l);
        KAVREL_ERR_MSG *entry = errmsg_of_errq(l);
        Shape s{entry->buf, {}};
        for (KAVREL_LINK *d = entry->msgq.next; d != &entry->msgq; d = d->next) {
            EXPECT_EQ(d->next->prev, d);
            KAVREL_ERR_MSG *detail = errmsg_of_msgq(d);
            EXPECT_EQ(detail->errq.next, &detail->errq) << detail->buf;
            s.details.push_back(detail->buf);
        }
        shape.push_back(s);
    }
    return shape;
}

KAVREL_ERR_MSG *first_entry(KAVREL_ERR_INFO &ei) {
    return errmsg_of_errq(ei.errq.next);
}

int blocks_of(KAVREL_CTX *ctx) {
    int n = 0;
    for (KAVREL_LINK *l = ctx->memory.next; l != &ctx->memory; l = l->next) ++n;
    return n;
}

// The three messages every grouping case starts from.
void add_abc(KAVREL_ERR_INFO &ei) {
    errinfo_add(&ei, SEV_ERROR, 131235, "A");
    errinfo_add(&ei, SEV_WARNING, 131234, "B");
    errinfo_add(&ei, SEV_INFORMATIONAL, 0, "C");
}

class ErrInfoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        g_handler_result = 0;
        ASSERT_EQ(kavrel_init(&ctx_, "Diag", nullptr, dir_.str().c_str(), nullptr, nullptr, "en_US",
                              nullptr, capture),
                  0u);
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        g_handler_result = 0;
        kavrel_free(&ctx_);
    }
    // The fr_FR catalogue of the build, opened through msgdir.
    LOCALE_DES *french() {
        LOCALE_DES *des = nullptr;
        char errtext[512] = "";
        const std::string msgdir = share_dir() + "/msgs";
        EXPECT_EQ(msg_init(ctx_, "fr_FR", msgdir.c_str(), "kavrel", "kavrel", &des, errtext,
                           sizeof errtext),
                  0)
            << errtext;
        return des;
    }

    TempDir dir_;
    KAVREL_CTX *ctx_ = nullptr;
};

TEST_F(ErrInfoTest, FirstMessageIsTheEntryAndLaterOnesItsDetails) {
    Record r(ctx_);
    const int before = blocks_of(ctx_);
    add_abc(r.ei);
    EXPECT_EQ(shape_of(r.ei), (std::vector<Shape>{{"A", {"B", "C"}}}));
    EXPECT_EQ(r.ei.total_msgs, 3);
    EXPECT_EQ(r.ei.total_text_len, 3);
    EXPECT_EQ(r.ei.max_severity, SEV_ERROR);
    EXPECT_EQ(r.ei.flags, 0u);
    EXPECT_EQ(blocks_of(ctx_), before + 3);  // one tracked block per message
    EXPECT_EQ(g_lines.size(), 0u);           // nothing is shown before routing
}

// What a fourth message D does to the record A(B, C), by the flag set before
// it is added.
struct GroupingCase {
    const char *name;
    uint32_t flags;
    std::vector<Shape> expected;
};

void PrintTo(const GroupingCase &c, std::ostream *os) {
    *os << c.name;
}

class Grouping : public ErrInfoTest, public ::testing::WithParamInterface<GroupingCase> {};

TEST_P(Grouping, FourthMessage) {
    const GroupingCase &c = GetParam();
    Record r(ctx_);
    add_abc(r.ei);
    r.ei.flags |= c.flags;
    errinfo_add(&r.ei, SEV_WARNING, 131300, "D");
    EXPECT_EQ(shape_of(r.ei), c.expected);
    EXPECT_EQ(r.ei.flags, 0u) << "the flag is used up";
    EXPECT_EQ(r.ei.total_msgs, 4);
    // A fifth message with no flag joins the last entry as a detail.
    errinfo_add(&r.ei, SEV_LOG, 0, "E");
    std::vector<Shape> after = c.expected;
    after.back().details.push_back("E");
    EXPECT_EQ(shape_of(r.ei), after);
}

INSTANTIATE_TEST_SUITE_P(
    ErrInfo, Grouping,
    ::testing::Values(GroupingCase{"NoFlag", 0, {{"A", {"B", "C", "D"}}}},
                      GroupingCase{"Wrap", ERRINFO_WRAP, {{"D", {"A", "B", "C"}}}},
                      GroupingCase{"NewEntry", ERRINFO_NEW_ENTRY, {{"A", {"B", "C"}}, {"D", {}}}},
                      GroupingCase{"NewEntryBeatsWrap",
                                   ERRINFO_NEW_ENTRY | ERRINFO_WRAP,
                                   {{"A", {"B", "C"}}, {"D", {}}}}),
    [](const auto &p) { return std::string(p.param.name); });

TEST_F(ErrInfoTest, WrapTakesOnlyTheLastEntry) {
    Record r(ctx_);
    add_abc(r.ei);
    r.ei.flags |= ERRINFO_NEW_ENTRY;
    errinfo_add(&r.ei, SEV_ERROR, 0, "X");
    errinfo_add(&r.ei, SEV_ERROR, 0, "Y");
    r.ei.flags |= ERRINFO_WRAP;
    errinfo_add(&r.ei, SEV_ERROR, 0, "W");
    EXPECT_EQ(shape_of(r.ei), (std::vector<Shape>{{"A", {"B", "C"}}, {"W", {"X", "Y"}}}));
    // A wrapped entry's details are siblings of it, not details of their own.
    KAVREL_ERR_MSG *x = errmsg_of_msgq(errmsg_of_errq(r.ei.errq.prev)->msgq.next);
    EXPECT_STREQ(x->buf, "X");
    EXPECT_EQ(x->errq.next, &x->errq);
}

TEST_F(ErrInfoTest, WrapOnAnEmptyRecordOpensAnEntry) {
    Record r(ctx_);
    r.ei.flags = ERRINFO_WRAP;
    errinfo_add(&r.ei, SEV_ERROR, 0, "only");
    EXPECT_EQ(shape_of(r.ei), (std::vector<Shape>{{"only", {}}}));
    EXPECT_EQ(r.ei.flags, 0u);
}

TEST_F(ErrInfoTest, DiscardLastFreesTheEntryWithItsDetailsAndKeepsTheCounters) {
    Record r(ctx_);
    const int before = blocks_of(ctx_);
    add_abc(r.ei);
    EXPECT_EQ(errinfo_discard_last(&r.ei), 0);
    EXPECT_TRUE(shape_of(r.ei).empty());
    EXPECT_EQ(blocks_of(ctx_), before);
    EXPECT_EQ(r.ei.total_msgs, 3);
    EXPECT_EQ(r.ei.total_text_len, 3);
    EXPECT_EQ(r.ei.max_severity, SEV_ERROR);
    errinfo_route(&r.ei);
    EXPECT_TRUE(g_lines.empty()) << "discarded messages are never delivered";
}

TEST_F(ErrInfoTest, DiscardLastTakesOnlyTheLastEntryAndNothingWhenOneIsAwaited) {
    Record r(ctx_);
    EXPECT_EQ(errinfo_discard_last(&r.ei), 0);  // right after begin
    add_abc(r.ei);
    r.ei.flags |= ERRINFO_NEW_ENTRY;
    errinfo_discard_last(&r.ei);
    EXPECT_EQ(shape_of(r.ei), (std::vector<Shape>{{"A", {"B", "C"}}}));
    errinfo_add(&r.ei, SEV_ERROR, 0, "D");
    errinfo_add(&r.ei, SEV_ERROR, 0, "E");
    errinfo_discard_last(&r.ei);
    // No flag changes, so the next message is a detail of A again.
    errinfo_add(&r.ei, SEV_ERROR, 0, "F");
    EXPECT_EQ(shape_of(r.ei), (std::vector<Shape>{{"A", {"B", "C", "F"}}}));
}

TEST_F(ErrInfoTest, TextsAreCutTo512Characters) {
    const struct {
        std::size_t length;
        std::size_t stored;
    } cases[] = {{512, 512}, {513, 512}, {5000, 512}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        Record r(ctx_);
        const std::string text(c.length, 'x');
        errinfo_add(&r.ei, SEV_ERROR, 0, "%s", text.c_str());
        EXPECT_EQ(std::string(first_entry(r.ei)->buf), text.substr(0, c.stored));
        EXPECT_EQ(r.ei.total_text_len, static_cast<int32_t>(c.stored));
    }
}

TEST_F(ErrInfoTest, TextIsFormattedFromTheValues) {
    Record r(ctx_);
    errinfo_add(&r.ei, SEV_ERROR, MSG_PROGRAMMING, kAssertFormat, "kavrel", 42, "(x != NULL)");
    EXPECT_STREQ(first_entry(r.ei)->buf, "Assertion failed in kavrel at line 42: (x != NULL)");
    EXPECT_EQ(r.ei.total_text_len, 50);
}

TEST_F(ErrInfoTest, MaxSeverityOnlyRises) {
    const struct {
        std::vector<int32_t> severities;
        int32_t max;
    } cases[] = {
        {{80, 100, 60}, 100},
        {{-5, -1}, 0},
        {{-5, 60}, 60},
        {{101}, 101},
    };
    for (const auto &c : cases) {
        Record r(ctx_);
        for (int32_t s : c.severities) errinfo_add(&r.ei, s, 0, "m");
        EXPECT_EQ(r.ei.max_severity, c.max) << ::testing::PrintToString(c.severities);
        EXPECT_EQ(r.ei.total_msgs, static_cast<int32_t>(c.severities.size()));
    }
}

TEST_F(ErrInfoTest, RoutingWritesEntriesInOrderEachFollowedByItsDetails) {
    Record r(ctx_);
    const int before = blocks_of(ctx_);
    add_abc(r.ei);
    r.ei.flags |= ERRINFO_NEW_ENTRY;
    errinfo_add(&r.ei, SEV_WARNING, 7, "D");
    errinfo_add(&r.ei, SEV_LOG, 8, "E\n");
    r.ei.flags |= ERRINFO_NEW_ENTRY | ERRINFO_NO_NUMBERS;
    errinfo_add(&r.ei, SEV_ERROR, 9, "F");
    EXPECT_EQ(errinfo_route(&r.ei), 0u);
    EXPECT_EQ(g_lines, (std::vector<Line>{{100, 131235, "A"},
                                          {80, 131234, "B"},
                                          {60, 0, "C"},
                                          {80, 7, "D"},
                                          {40, 8, "E\n"},
                                          {100, 0, "F"}}));
    EXPECT_TRUE(shape_of(r.ei).empty());
    EXPECT_EQ(blocks_of(ctx_), before);
    // Routing resets neither the counters nor the flags.
    EXPECT_EQ(r.ei.total_msgs, 6);
    EXPECT_EQ(r.ei.total_text_len, 7);
    EXPECT_EQ(r.ei.max_severity, SEV_ERROR);
    EXPECT_EQ(r.ei.flags, ERRINFO_NO_NUMBERS);

    // The record stays usable: the next routing writes only what came since.
    g_lines.clear();
    r.ei.flags = 0;
    errinfo_add(&r.ei, SEV_INFORMATIONAL, 3, "G");
    errinfo_add(&r.ei, SEV_INFORMATIONAL, 4, "H");
    errinfo_route(&r.ei);
    EXPECT_EQ(g_lines, (std::vector<Line>{{60, 3, "G"}, {60, 4, "H"}}));
    EXPECT_EQ(r.ei.total_msgs, 8);
    EXPECT_EQ(r.ei.max_severity, SEV_ERROR);
}

TEST_F(ErrInfoTest, RoutingAnEmptyRecordWritesNothing) {
    Record r(ctx_);
    EXPECT_EQ(errinfo_route(&r.ei), 0u);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(ErrInfoTest, AnEntryAlreadyWrittenIsSkippedButItsDetailsAreNot) {
    Record r(ctx_);
    add_abc(r.ei);
    first_entry(r.ei)->flags |= ERRMSG_WRITTEN;
    errinfo_route(&r.ei);
    EXPECT_EQ(g_lines, (std::vector<Line>{{80, 131234, "B"}, {60, 0, "C"}}));
}

TEST_F(ErrInfoTest, NoNumbersStoresZeroButLooksUpTheGivenNumber) {
    LOCALE_DES *des = french();
    ASSERT_NE(des, nullptr);
    Record r(ctx_, des);
    r.ei.flags |= ERRINFO_NO_NUMBERS;
    errinfo_add(&r.ei, SEV_ERROR, MSG_NOMEM, "Failed to allocate %d bytes.", 42);
    KAVREL_ERR_MSG *m = first_entry(r.ei);
    EXPECT_EQ(m->error, 0);
    EXPECT_STREQ(m->buf, "Impossible d'allouer 42 octets.");
    // The flag stays until the caller clears it.
    errinfo_add(&r.ei, SEV_ERROR, MSG_NOMEM, "Failed to allocate %d bytes.", 7);
    EXPECT_EQ(r.ei.flags & ERRINFO_NO_NUMBERS, ERRINFO_NO_NUMBERS);
    r.ei.flags &= ~ERRINFO_NO_NUMBERS;
    errinfo_add(&r.ei, SEV_ERROR, MSG_NOMEM, "Failed to allocate %d bytes.", 8);
    errinfo_route(&r.ei);
    EXPECT_EQ(g_lines, (std::vector<Line>{{100, 0, "Impossible d'allouer 42 octets."},
                                          {100, 0, "Impossible d'allouer 7 octets."},
                                          {100, MSG_NOMEM, "Impossible d'allouer 8 octets."}}));
}

TEST_F(ErrInfoTest, TextOutsideTheCatalogueFallsBackToTheFormatSilently) {
    LOCALE_DES *des = french();
    ASSERT_NE(des, nullptr);
    Record r(ctx_, des);
    errinfo_add(&r.ei, SEV_WARNING, 131999, "Unknown %s %d", "thing", 5);
    errinfo_add(&r.ei, SEV_WARNING, 0, "No number %d", 6);
    EXPECT_EQ(shape_of(r.ei), (std::vector<Shape>{{"Unknown thing 5", {"No number 6"}}}));
    EXPECT_EQ(r.ei.total_text_len, 26);
}

// Standard error when there is no handler, or the handler asks for it too.
struct StderrCase {
    int32_t severity;
    int32_t number;
    const char *text;
    const char *expected;
};

const StderrCase kStderrCases[] = {
    {80, 5, "careful", "Warning 5: careful\n"},
    {100, 0, "broken", "Error 0: broken\n"},
    {100, 1000000, "bad", "Error 1000000: bad\n"},
    {101, 3, "above", "above\n"},
    {60, 7, "note", "note\n"},
    {40, 2, "log", "log"},
    {20, 0, "trace line\n", "trace line\n"},
    {20, 0, "piece", "piece"},
    {-1, 4, "odd", "odd"},
};

TEST_F(ErrInfoTest, LineOutWithoutHandlerWritesLabelTextAndNewline) {
    ctx_->messagehandler = nullptr;
    for (const auto &c : kStderrCases) {
        for (KAVREL_CTX *ctx : {ctx_, static_cast<KAVREL_CTX *>(nullptr)}) {
            testing::internal::CaptureStderr();
            EXPECT_EQ(line_out(ctx, c.severity, c.number, c.text), 0);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), c.expected);
        }
    }
}

TEST_F(ErrInfoTest, LineOutHandlerDecidesWhetherStandardErrorSeesTheLineToo) {
    for (int32_t result : {0, 1, -1}) {
        g_handler_result = result;
        for (const auto &c : kStderrCases) {
            g_lines.clear();
            testing::internal::CaptureStderr();
            line_out(ctx_, c.severity, c.number, c.text);
            const std::string err = testing::internal::GetCapturedStderr();
            EXPECT_EQ(g_lines, (std::vector<Line>{{c.severity, c.number, c.text}}));
            EXPECT_EQ(err, result == 0 ? "" : c.expected) << result;
        }
    }
}

TEST_F(ErrInfoTest, RoutingWithoutHandlerWritesTheReportToStandardError) {
    ctx_->messagehandler = nullptr;
    Record r(ctx_);
    add_abc(r.ei);
    errinfo_add(&r.ei, SEV_DEBUG, 0, "trace\n");
    testing::internal::CaptureStderr();
    errinfo_route(&r.ei);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error 131235: A\nWarning 131234: B\nC\ntrace\n");
}

TEST_F(ErrInfoTest, SeverityLabelsInEnglish) {
    Record r(ctx_);
    const struct {
        int32_t severity;
        int32_t number;
        const char *expected;
    } cases[] = {
        {80, 12, "Warning 12: "},
        {100, 12, "Error 12: "},
        {100, 0, "Error 0: "},
        {80, -2147483647 - 1, "Warning -2147483648: "},
        {60, 12, ""},
        {99, 12, ""},
        {101, 12, ""},
        {20, 12, ""},
    };
    for (const auto &c : cases) {
        for (const KAVREL_ERR_INFO *ei : {static_cast<const KAVREL_ERR_INFO *>(nullptr),
                                          static_cast<const KAVREL_ERR_INFO *>(&r.ei)}) {
            char label[kLabelSize];
            std::memset(label, 'z', sizeof label);
            EXPECT_EQ(severity_label(ei, c.number, c.severity, label), label);
            EXPECT_STREQ(label, c.expected);
        }
    }
}

TEST_F(ErrInfoTest, SeverityLabelsThroughTheCatalogue) {
    LOCALE_DES *des = french();
    ASSERT_NE(des, nullptr);
    Record r(ctx_, des);
    char label[kLabelSize];
    EXPECT_STREQ(severity_label(&r.ei, 12, SEV_WARNING, label), "Avertissement 12 : ");
    EXPECT_STREQ(severity_label(&r.ei, 131234, SEV_ERROR, label), "Erreur 131234 : ");
    EXPECT_STREQ(severity_label(&r.ei, 12, SEV_INFORMATIONAL, label), "");
    // Without a record the label stays English.
    EXPECT_STREQ(severity_label(nullptr, 12, SEV_WARNING, label), "Warning 12: ");
    // Standard error always carries the English label, even for a context
    // that works in French.
    ctx_->messagehandler = nullptr;
    errinfo_add(&r.ei, SEV_ERROR, MSG_NOMEM, "Failed to allocate %d bytes.", 3);
    testing::internal::CaptureStderr();
    errinfo_route(&r.ei);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error 131229: Impossible d'allouer 3 octets.\n");
}

TEST_F(ErrInfoTest, ErrorPrintfWritesAtOnceAsAProgrammingError) {
    error_printf(ctx_, "Failed to allocate %d bytes of memory.", 64);
    const std::string long_text(700, 'y');
    error_printf(ctx_, "%s", long_text.c_str());
    ASSERT_EQ(g_lines.size(), 2u);
    EXPECT_EQ(g_lines[0], (Line{100, 1000000, "Failed to allocate 64 bytes of memory."}));
    EXPECT_EQ(g_lines[1], (Line{100, 1000000, long_text.substr(0, 512)}));
    ctx_->messagehandler = nullptr;
    testing::internal::CaptureStderr();
    error_printf(ctx_, "no %s", "handler");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Error 1000000: no handler\n");
}

bool is_alloc_failure(const Line &l) {
    return l.severity == SEV_ERROR && l.number == MSG_PROGRAMMING &&
           l.text.rfind("Failed to allocate ", 0) == 0 &&
           l.text.find(" bytes of memory.") != std::string::npos;
}

TEST_F(ErrInfoTest, AllocationFailureRoutesTheRecordAndRetries) {
    Record r(ctx_);
    errinfo_add(&r.ei, SEV_WARNING, 131234, "A");
    errinfo_add(&r.ei, SEV_INFORMATIONAL, 0, "B");
    const int before = blocks_of(ctx_);
    kavrel_test_fail_alloc(0, 1);
    errinfo_add(&r.ei, SEV_ERROR, 131235, "C %d", 1);
    kavrel_test_fail_alloc(0, 0);
    // The allocator's own report, then the messages held until then.
    ASSERT_EQ(g_lines.size(), 3u);
    EXPECT_PRED1(is_alloc_failure, g_lines[0]);
    EXPECT_EQ(g_lines[1], (Line{80, 131234, "A"}));
    EXPECT_EQ(g_lines[2], (Line{60, 0, "B"}));
    // The retry kept the new message, which now opens the only entry.
    EXPECT_EQ(shape_of(r.ei), (std::vector<Shape>{{"C 1", {}}}));
    EXPECT_EQ(first_entry(r.ei)->error, 131235);
    EXPECT_EQ(blocks_of(ctx_), before - 1);
    EXPECT_EQ(r.ei.total_msgs, 3);
    EXPECT_EQ(r.ei.total_text_len, 5);
    EXPECT_EQ(r.ei.max_severity, SEV_ERROR);
    g_lines.clear();
    errinfo_route(&r.ei);
    EXPECT_EQ(g_lines, (std::vector<Line>{{100, 131235, "C 1"}}));
}

TEST_F(ErrInfoTest, SecondAllocationFailureWritesTheTextDirectly) {
    for (bool no_numbers : {false, true}) {
        SCOPED_TRACE(no_numbers);
        g_lines.clear();
        Record r(ctx_);
        errinfo_add(&r.ei, SEV_WARNING, 131234, "A");
        errinfo_add(&r.ei, SEV_INFORMATIONAL, 0, "B");
        if (no_numbers) r.ei.flags |= ERRINFO_NO_NUMBERS;
        const int before = blocks_of(ctx_);
        kavrel_test_fail_alloc(0, 2);
        errinfo_add(&r.ei, SEV_ERROR, 131235, "C %d", 2);
        kavrel_test_fail_alloc(0, 0);
        ASSERT_EQ(g_lines.size(), 5u);
        EXPECT_PRED1(is_alloc_failure, g_lines[0]);
        EXPECT_EQ(g_lines[1], (Line{80, 131234, "A"}));
        EXPECT_EQ(g_lines[2], (Line{60, 0, "B"}));
        EXPECT_PRED1(is_alloc_failure, g_lines[3]);
        EXPECT_EQ(g_lines[4], (Line{100, no_numbers ? 0 : 131235, "C 2"}));
        // The message is not kept and no counter changes.
        EXPECT_TRUE(shape_of(r.ei).empty());
        EXPECT_EQ(blocks_of(ctx_), before - 2);
        EXPECT_EQ(r.ei.total_msgs, 2);
        EXPECT_EQ(r.ei.total_text_len, 2);
        EXPECT_EQ(r.ei.max_severity, SEV_WARNING);
    }
}

TEST_F(ErrInfoTest, AllocationFailureOnAnEmptyRecordStillRetries) {
    Record r(ctx_);
    kavrel_test_fail_alloc(0, 1);
    errinfo_add(&r.ei, SEV_WARNING, 5, "alone");
    kavrel_test_fail_alloc(0, 0);
    ASSERT_EQ(g_lines.size(), 1u);
    EXPECT_PRED1(is_alloc_failure, g_lines[0]);
    EXPECT_EQ(shape_of(r.ei), (std::vector<Shape>{{"alone", {}}}));
    EXPECT_EQ(r.ei.total_msgs, 1);
}

}  // namespace
