// The error-information record: how messages are grouped into entries and
// details, the limits and flags of the record, routing to the handler or to
// standard error, the severity labels, and what happens when a message
// cannot be allocated.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "diag/errinfo.h"
#include "diag/msg.h"
#include "diag/route.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"

using namespace kavrel;

namespace {

using namespace kavrel_test;

// A record in the test's frame, routed when the test ends so that no held
// message outlives it.
struct Record {
    explicit Record(KAVREL_CTX *ctx, LOCALE_DES *des = nullptr) { errinfo_begin(ctx, des, &ei); }
    ~Record() { errinfo_route(&ei); }
    Record(const Record &) = delete;
    Record &operator=(const Record &) = delete;
    KAVREL_ERR_INFO ei;
};

// The record as "entry(detail,detail)" for each entry in order. The links are
// checked on the way: every next has a matching prev, and a detail is in no
// entry list.
std::string shape_of(KAVREL_ERR_INFO &ei) {
    std::string shape;
    for (KAVREL_LINK *l = ei.errq.next; l != &ei.errq; l = l->next) {
        EXPECT_EQ(l->next->prev, l);
        KAVREL_ERR_MSG *entry = errmsg_of_errq(l);
        shape += std::string(entry->buf) + "(";
        for (KAVREL_LINK *d = entry->msgq.next; d != &entry->msgq; d = d->next) {
            EXPECT_EQ(d->next->prev, d);
            KAVREL_ERR_MSG *detail = errmsg_of_msgq(d);
            EXPECT_EQ(detail->errq.next, &detail->errq) << detail->buf;
            shape += std::string(d == entry->msgq.next ? "" : ",") + detail->buf;
        }
        shape += ")";
    }
    return shape;
}

int blocks_of(KAVREL_CTX *ctx) {
    int n = 0;
    for (KAVREL_LINK *l = ctx->memory.next; l != &ctx->memory; l = l->next) ++n;
    return n;
}

void add_abc(KAVREL_ERR_INFO &ei) {
    errinfo_add(&ei, SEV_ERROR, 131235, "A");
    errinfo_add(&ei, SEV_WARNING, 131234, "B");
    errinfo_add(&ei, SEV_INFORMATIONAL, 0, "C");
}

using ErrInfoTest = CapturedContext;

// Messages of one character each, added in order; a '+' before one sets the
// new-entry flag, '^' the wrap flag, '*' both (replacing the new-entry flag
// that the record begins with).
TEST_F(ErrInfoTest, GroupingByTheFlagsSetBeforeEachMessage) {
    const struct {
        const char *steps;
        const char *shape;
    } cases[] = {
        {"ABCD", "A(B,C,D)"},
        {"ABC^D", "D(A,B,C)"},
        {"ABC+D", "A(B,C)D()"},
        {"ABC*D", "A(B,C)D()"},
        {"^W", "W()"},
        {"ABC+XY^W", "A(B,C)W(X,Y)"},
        {"ABC+XY^WZ", "A(B,C)W(X,Y,Z)"},
    };
    const std::string marks = "+^*";
    const uint32_t flags[] = {ERRINFO_NEW_ENTRY, ERRINFO_WRAP, ERRINFO_NEW_ENTRY | ERRINFO_WRAP};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.steps);
        g_lines.clear();
        Record r(ctx_);
        const int before = blocks_of(ctx_);
        int32_t added = 0;
        for (const char *p = c.steps; *p != '\0'; ++p) {
            if (const std::size_t m = marks.find(*p); m != std::string::npos) {
                r.ei.flags = flags[m];
                continue;
            }
            errinfo_add(&r.ei, added++ == 0 ? SEV_ERROR : SEV_LOG, 0, "%c", *p);
            EXPECT_EQ(r.ei.flags, 0u) << "a flag is used up by the message after it";
        }
        EXPECT_EQ(shape_of(r.ei), c.shape);
        EXPECT_EQ(r.ei.total_msgs, added);
        EXPECT_EQ(r.ei.total_text_len, added);
        EXPECT_EQ(r.ei.max_severity, SEV_ERROR);
        EXPECT_EQ(blocks_of(ctx_), before + added);  // one tracked block per message
        EXPECT_TRUE(g_lines.empty()) << "nothing is shown before routing";
    }
}

TEST_F(ErrInfoTest, DiscardLastFreesOnlyTheLastEntryAndKeepsTheCounters) {
    Record r(ctx_);
    const int before = blocks_of(ctx_);
    EXPECT_EQ(errinfo_discard_last(&r.ei), 0);  // nothing held yet
    add_abc(r.ei);
    r.ei.flags |= ERRINFO_NEW_ENTRY;
    errinfo_discard_last(&r.ei);  // an entry is awaited: nothing goes
    EXPECT_EQ(shape_of(r.ei), "A(B,C)");
    errinfo_add(&r.ei, SEV_ERROR, 0, "D");
    errinfo_add(&r.ei, SEV_ERROR, 0, "E");
    errinfo_discard_last(&r.ei);
    // No flag changes, so the next message is a detail of A again.
    errinfo_add(&r.ei, SEV_ERROR, 0, "F");
    EXPECT_EQ(shape_of(r.ei), "A(B,C,F)");
    EXPECT_EQ(errinfo_discard_last(&r.ei), 0);
    EXPECT_EQ(shape_of(r.ei), "");
    EXPECT_EQ(blocks_of(ctx_), before);
    EXPECT_EQ(r.ei.total_msgs, 6);
    EXPECT_EQ(r.ei.total_text_len, 6);
    EXPECT_EQ(r.ei.max_severity, SEV_ERROR);
    errinfo_route(&r.ei);
    EXPECT_TRUE(g_lines.empty()) << "discarded messages are never delivered";
}

TEST_F(ErrInfoTest, TextIsCutTo512CharactersAndTheMaxSeverityOnlyRises) {
    for (std::size_t length : {512u, 513u, 5000u}) {
        Record r(ctx_);
        const std::string text(length, 'x');
        errinfo_add(&r.ei, SEV_ERROR, 0, "%s", text.c_str());
        EXPECT_EQ(shape_of(r.ei), text.substr(0, 512) + "()") << length;
        EXPECT_EQ(r.ei.total_text_len, 512);
    }
    const struct {
        std::vector<int32_t> severities;
        int32_t max;
    } cases[] = {{{80, 100, 60}, 100}, {{-5, -1}, 0}, {{-5, 60}, 60}, {{101}, 101}};
    for (const auto &c : cases) {
        Record r(ctx_);
        for (int32_t s : c.severities) errinfo_add(&r.ei, s, 0, "m");
        EXPECT_EQ(r.ei.max_severity, c.max) << ::testing::PrintToString(c.severities);
    }
    g_lines.clear();
    Record r(ctx_);
    errinfo_assert(&r.ei, "kavrel", 42, "(x != NULL)");
    EXPECT_EQ(r.ei.total_text_len, 50);
    errinfo_route(&r.ei);
    EXPECT_EQ(
        g_lines,
        (std::vector<Line>{{100, 1000000, "Assertion failed in kavrel at line 42: (x != NULL)"}}));
}

TEST_F(ErrInfoTest, RoutingWritesEntriesInOrderEachFollowedByItsDetails) {
    Record r(ctx_);
    EXPECT_EQ(errinfo_route(&r.ei), 0u);  // an empty record writes nothing
    EXPECT_TRUE(g_lines.empty());
    const int before = blocks_of(ctx_);
    add_abc(r.ei);
    r.ei.flags |= ERRINFO_NEW_ENTRY;
    errinfo_add(&r.ei, SEV_WARNING, 7, "D");
    errinfo_add(&r.ei, SEV_LOG, 8, "E\n");
    r.ei.flags |= ERRINFO_NEW_ENTRY | ERRINFO_NO_NUMBERS;
    errinfo_add(&r.ei, SEV_ERROR, 9, "F");
    EXPECT_EQ(errinfo_route(&r.ei), 0u);
    const std::vector<Line> written = {{100, 131235, "A"}, {80, 131234, "B"}, {60, 0, "C"},
                                       {80, 7, "D"},       {40, 8, "E\n"},    {100, 0, "F"}};
    EXPECT_EQ(g_lines, written);
    EXPECT_EQ(shape_of(r.ei), "");
    EXPECT_EQ(blocks_of(ctx_), before);
    // Routing resets neither the counters nor the flags.
    EXPECT_EQ(r.ei.total_msgs, 6);
    EXPECT_EQ(r.ei.total_text_len, 7);
    EXPECT_EQ(r.ei.max_severity, SEV_ERROR);
    EXPECT_EQ(r.ei.flags, ERRINFO_NO_NUMBERS);

    // The record stays usable: the next routing writes only what came since,
    // and of an entry already written only its details.
    g_lines.clear();
    r.ei.flags = 0;
    errinfo_add(&r.ei, SEV_INFORMATIONAL, 3, "G");
    errinfo_add(&r.ei, SEV_INFORMATIONAL, 4, "H");
    errmsg_of_errq(r.ei.errq.next)->flags |= ERRMSG_WRITTEN;
    errinfo_route(&r.ei);
    EXPECT_EQ(g_lines, (std::vector<Line>{{60, 4, "H"}}));
    EXPECT_EQ(r.ei.total_msgs, 8);
}

TEST_F(ErrInfoTest, TextsAndLabelsComeFromTheRecordsCatalogue) {
    LOCALE_DES *des = nullptr;
    char errtext[512] = "";
    ASSERT_EQ(msg_init(ctx_, "fr_FR", (share_dir() + "/msgs").c_str(), "kavrel", "kavrel", &des,
                       errtext, sizeof errtext),
              0)
        << errtext;
    Record r(ctx_, des);
    // Without a number or outside the catalogue: the format, silently.
    errinfo_add(&r.ei, SEV_WARNING, 131999, "Unknown %s %d", "thing", 5);
    errinfo_add(&r.ei, SEV_WARNING, 0, "No number %d", 6);
    EXPECT_EQ(shape_of(r.ei), "Unknown thing 5(No number 6)");
    // Without numbers the message holds 0 but its text is still looked up by
    // the given number; the flag stays until the caller clears it.
    r.ei.flags |= ERRINFO_NO_NUMBERS;
    errinfo_add(&r.ei, SEV_ERROR, MSG_NOMEM, "Failed to allocate %d bytes.", 42);
    EXPECT_EQ(r.ei.flags, ERRINFO_NO_NUMBERS);
    r.ei.flags = 0;
    errinfo_add(&r.ei, SEV_ERROR, MSG_NOMEM, "Failed to allocate %d bytes.", 8);
    errinfo_route(&r.ei);
    EXPECT_EQ(g_lines, (std::vector<Line>{{80, 131999, "Unknown thing 5"},
                                          {80, 0, "No number 6"},
                                          {100, 0, "Impossible d'allouer 42 octets."},
                                          {100, MSG_NOMEM, "Impossible d'allouer 8 octets."}}));
    char label[kLabelSize];
    EXPECT_STREQ(severity_label(&r.ei, 12, SEV_WARNING, label), "Avertissement 12 : ");
    EXPECT_STREQ(severity_label(&r.ei, 131234, SEV_ERROR, label), "Erreur 131234 : ");
    EXPECT_STREQ(severity_label(&r.ei, 12, SEV_INFORMATIONAL, label), "");
    // Standard error always carries the English label.
    ctx_->messagehandler = nullptr;
    errinfo_add(&r.ei, SEV_ERROR, MSG_NOMEM, "Failed to allocate %d bytes.", 3);
    testing::internal::CaptureStderr();
    errinfo_route(&r.ei);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error 131229: Impossible d'allouer 3 octets.\n");
}

// Standard error gets the label, the text and, from severity 60 up, a line
// end, when there is no handler or the handler answers non-zero.
TEST_F(ErrInfoTest, LineOutWritesToTheHandlerOrStandardError) {
    const struct {
        int32_t severity;
        int32_t number;
        const char *text;
        const char *expected;
    } cases[] = {{80, 5, "careful", "Warning 5: careful\n"},
                 {100, 0, "broken", "Error 0: broken\n"},
                 {100, 1000000, "bad", "Error 1000000: bad\n"},
                 {80, INT_MIN, "min", "Warning -2147483648: min\n"},
                 {101, 3, "above", "above\n"},
                 {99, 3, "almost", "almost\n"},
                 {60, 7, "note", "note\n"},
                 {40, 2, "log", "log"},
                 {20, 0, "trace line\n", "trace line\n"},
                 {-1, 4, "odd", "odd"}};
    // No context, no handler, then the handler answering 0, 1 and -1.
    for (int round = 0; round < 5; ++round) {
        KAVREL_CTX *ctx = round == 0 ? nullptr : ctx_;
        ctx_->messagehandler = round == 1 ? nullptr : capture;
        g_handler_result = round == 2 ? 0 : round == 3 ? 1 : -1;
        for (const auto &c : cases) {
            g_lines.clear();
            testing::internal::CaptureStderr();
            EXPECT_EQ(line_out(ctx, c.severity, c.number, c.text), 0);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), round == 2 ? "" : c.expected)
                << round;
            const Line handed{c.severity, c.number, c.text};
            EXPECT_EQ(g_lines, round < 2 ? std::vector<Line>{} : std::vector<Line>{handed});
        }
    }
}

// (Its common use, the allocator's report, is seen in the test below.)
TEST_F(ErrInfoTest, ErrorPrintfTextIsCutTo512Characters) {
    const std::string text(700, 'y');
    error_printf(ctx_, "%s", text.c_str());
    EXPECT_EQ(g_lines, (std::vector<Line>{{100, 1000000, text.substr(0, 512)}}));
}

// The lines written, each report of a failed allocation as "<nomem>".
std::vector<Line> lines_nomem() {
    std::vector<Line> out = g_lines;
    for (Line &l : out) {
        if (l.severity == SEV_ERROR && l.number == MSG_PROGRAMMING &&
            l.text.rfind("Failed to allocate ", 0) == 0 &&
            l.text.find(" bytes of memory.") != std::string::npos) {
            l.text = "<nomem>";
        }
    }
    return out;
}

// A message that cannot be allocated: the allocator's report, then the held
// messages are routed to make room and the allocation is tried once more; if
// that fails too, another report and the message is written at once.
TEST_F(ErrInfoTest, AllocationFailureRoutesTheRecordAndRetriesOnce) {
    const Line nomem{SEV_ERROR, MSG_PROGRAMMING, "<nomem>"};
    for (int failures : {1, 2}) {
        for (bool with_ab : {true, false}) {
            for (bool no_numbers : {false, true}) {
                SCOPED_TRACE(::testing::Message() << failures << with_ab << no_numbers);
                g_lines.clear();
                Record r(ctx_);
                if (with_ab) {
                    errinfo_add(&r.ei, SEV_WARNING, 131234, "A");
                    errinfo_add(&r.ei, SEV_INFORMATIONAL, 0, "B");
                }
                if (no_numbers) r.ei.flags |= ERRINFO_NO_NUMBERS;
                const int before = blocks_of(ctx_);
                kavrel_test_fail_alloc(0, failures);
                errinfo_add(&r.ei, SEV_ERROR, 131235, "C %d", failures);
                kavrel_test_fail_alloc(0, 0);
                const Line c{SEV_ERROR, no_numbers ? 0 : 131235, "C " + std::to_string(failures)};
                const int kept = with_ab ? 2 : 0, retried = failures == 1 ? 1 : 0;
                std::vector<Line> expected{nomem};
                if (with_ab) expected.insert(expected.end(), {{80, 131234, "A"}, {60, 0, "B"}});
                if (!retried) expected.insert(expected.end(), {nomem, c});
                EXPECT_EQ(lines_nomem(), expected);
                // A retried message opens the only entry; a lost one changes
                // no counter.
                EXPECT_EQ(shape_of(r.ei), retried ? c.text + "()" : "");
                EXPECT_EQ(blocks_of(ctx_), before - kept + retried);
                EXPECT_EQ(r.ei.total_msgs, kept + retried);
                EXPECT_EQ(r.ei.total_text_len, kept + 3 * retried);
                EXPECT_EQ(r.ei.max_severity, retried ? SEV_ERROR : with_ab ? SEV_WARNING : 0);
                g_lines.clear();
                errinfo_route(&r.ei);
                EXPECT_EQ(g_lines, retried ? std::vector<Line>{c} : std::vector<Line>{});
            }
        }
    }
}

}  // namespace
