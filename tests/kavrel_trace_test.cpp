// Trace lines chosen by the context's mask, the time lines, and the dumps of
// the error-information record, of memory areas and of the whole library,
// including those that setting the trace attribute writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/mem.h"
#include "support/timefmt.h"

using namespace kavrel;

namespace {

using namespace kavrel_test;
using TraceTest = CapturedContext;

std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto &l : g_lines) out.push_back(l.text);
    return out;
}

// The "<label>: <link>, next: <next>, prev: <prev>" line of a list link.
std::string link_line(const char *label, const KAVREL_LINK *link) {
    return fmt("%s: %p, next: %p, prev: %p\n", label, static_cast<const void *>(link),
               static_cast<const void *>(link->next), static_cast<const void *>(link->prev));
}

TEST_F(TraceTest, LinesAreWrittenWhenTheMasksShareABit) {
    const std::tuple<uint32_t, uint32_t, bool> cases[] = {
        {0x1, TRACE_MEMORY, true}, {0x2, TRACE_MEMORY, false},     {0x80, 0x81, true},
        {0x40, 0x81, false},       {0x80000000u, TRACE_ANY, true}, {0x0, TRACE_ANY, false},
        {0x20, 0x0, false}};
    for (const auto &[trace, mask, written] : cases) {
        g_lines.clear();
        ctx_->trace = trace;
        trace_printf(ctx_, mask, "line %d of 0x%x\n", 7, mask);
        const Line line{SEV_DEBUG, 0, fmt("line 7 of 0x%x\n", mask)};
        EXPECT_EQ(g_lines, written ? std::vector<Line>{line} : std::vector<Line>{})
            << std::hex << trace << " " << mask;
    }

    // A text is cut to 512 characters.
    g_lines.clear();
    ctx_->trace = TRACE_ANY;
    const std::string text(700, 't');
    trace_printf(ctx_, TRACE_MEMORY, "%s", text.c_str());
    trace_always(ctx_, "%s", text.c_str());
    EXPECT_EQ(texts(), std::vector<std::string>(2, text.substr(0, 512)));

    // A line masked off is not even formatted: formatting this value, which
    // is not a string, would read past its four bytes.
    g_lines.clear();
    const char not_a_string[4] = {'a', 'b', 'c', 'd'};
    ctx_->trace = TRACE_PROP;
    trace_printf(ctx_, TRACE_MEMORY, "%s\n", not_a_string);
    trace_time_printf(ctx_, TRACE_MEMORY, 0, "%s\n", not_a_string);
    trace_printf(nullptr, TRACE_ANY, "%s\n", not_a_string);
    EXPECT_TRUE(g_lines.empty());

    // A time line follows its line.
    ctx_->trace = 0;
    const std::time_t t = 1222448388, day = 86400;
    char shown[kTimeBufSize], shown_day[kTimeBufSize];
    format_time(ctx_, "en_US", &t, shown);
    format_time(ctx_, "en_US", &day, shown_day);
    const std::string time_line = fmt("%ld - %s\n", 1222448388L, shown);
    g_lines.clear();
    trace_time(ctx_, t, "%s at\n", "event");  // whatever the mask
    trace_time_printf(ctx_, TRACE_PROP, t, "%s\n", "masked");
    trace_time_label(ctx_, "modified", day);  // needs some bit
    EXPECT_EQ(texts(), (std::vector<std::string>{"event at\n", time_line}));
    g_lines.clear();
    ctx_->trace = TRACE_PROP;
    trace_time_printf(ctx_, TRACE_PROP, t, "%s\n", "shown");
    ctx_->trace = 0x40;  // a bit no category uses still counts
    trace_time_label(ctx_, "modified", day);
    EXPECT_EQ(texts(), (std::vector<std::string>{"shown\n", time_line,
                                                 fmt("modified: 86400 - %s\n", shown_day)}));
}

// The lines dump_err_msg writes for one message with prefix p.
void expect_msg_lines(std::vector<std::string> &out, const std::string &p, KAVREL_ERR_MSG *m) {
    out.push_back(fmt("%sKAVREL_ERR_MSG at %p\n", p.c_str(), static_cast<void *>(m)));
    out.push_back(fmt("%s\terror: %d, severity: %d\n", p.c_str(), m->error, m->severity));
    out.push_back(fmt("%s\tstatus: 0x%x, flags: 0x%x\n", p.c_str(), m->status, m->flags));
    out.push_back(fmt("%s\tbuf: %s\n", p.c_str(), m->buf));
    out.push_back(link_line("\t\terrq", &m->errq));
    out.push_back(link_line("\t\tmsgq", &m->msgq));
}

// The record's own lines go through the given context, its messages through
// the record's.
TEST_F(TraceTest, DumpErrInfoListsTheEntryAndEachDetailOnce) {
    TempDir other_dir;
    KAVREL_CTX *other = nullptr;
    ASSERT_EQ(kavrel_init(&other, "Other", nullptr, other_dir.str().c_str(), nullptr, nullptr,
                          "en_US", nullptr, capture),
              0u);
    KAVREL_ERR_INFO ei;
    errinfo_begin(other, nullptr, &ei);
    errinfo_add(&ei, SEV_ERROR, 131235, "entry %d", 1);
    errinfo_add(&ei, SEV_WARNING, 131234, "first detail");
    errinfo_add(&ei, SEV_INFORMATIONAL, 0, "second detail");
    ei.flags |= ERRINFO_NO_NUMBERS;
    g_lines.clear();
    dump_err_info(ctx_, &ei);

    KAVREL_ERR_MSG *entry = errmsg_of_errq(ei.errq.next);
    std::vector<std::string> expected = {
        fmt("KAVREL_ERR_INFO at %p\n", static_cast<void *>(&ei)),
        fmt("\tconsumer_ctx: %p, msg_ctx: %p\n", static_cast<void *>(other),
            static_cast<void *>(nullptr)),
        "\ttotal_msgs: 3, total_text_len: 32\n",
        "\tmax_severity: 100, flags: 0x4\n",
        "\tbuf: second detail\n",
        link_line("\t\terrq", &ei.errq)};
    expect_msg_lines(expected, "\t\t", entry);
    expect_msg_lines(expected, "\t\t\t", errmsg_of_msgq(entry->msgq.next));
    expect_msg_lines(expected, "\t\t\t", errmsg_of_msgq(entry->msgq.prev));
    EXPECT_EQ(texts(), expected);
    for (const Line &l : g_lines) EXPECT_EQ(l, (Line{SEV_DEBUG, 0, l.text}));
    for (std::size_t i = 0; i < g_lines.size(); ++i)
        EXPECT_EQ(g_lines[i].ctx, i < 5 ? ctx_ : other);
    errinfo_route(&ei);
    kavrel_free(&other);

    g_lines.clear();
    dump_err_info(ctx_, nullptr);
    dump_err_msg(ctx_, nullptr, true, "\t\t");
    EXPECT_EQ(texts(),
              (std::vector<std::string>{
                  fmt("KAVREL_ERR_INFO at %p\n", static_cast<void *>(nullptr)), "\tpointer is NULL",
                  fmt("\t\tKAVREL_ERR_MSG at %p\n", static_cast<void *>(nullptr)),
                  "\t\t\tpointer is NULL\n"}));
}

// The line head of a hex dump: "\n<address> (<offset>):  ".
std::string head(const void *address, int offset) {
    return fmt("\n%p (%6d):  ", address, offset);
}

// Twenty bytes a line in groups of four, then their characters (printable
// ones as themselves) in the same column on every line.
TEST_F(TraceTest, DumpHex) {
    const char bytes[] = "abcdefghijklmnopqrstu\0\x7f\xff\nz{";
    const std::pair<int32_t, std::string> cases[] = {
        {5, head(bytes, 0) + "61626364 65" + std::string(34, ' ') + " abcde\n"},
        {27, head(bytes, 0) + "61626364 65666768 696a6b6c 6d6e6f70 71727374  " +
                 "abcdefghijklmnopqrst" + head(bytes + 20, 20) + "75007fff 0a7a7b" +
                 std::string(30, ' ') + " u....z{\n"},
        {0, head(bytes, 0) + std::string(45, ' ') + " \n"},
        {-3, head(bytes, 0) + std::string(45, ' ') + " \n"},
    };
    for (const auto &[length, expected] : cases) {
        g_lines.clear();
        dump_hex(ctx_, bytes, length);
        std::string joined;
        for (const auto &l : g_lines) joined += l.text;
        EXPECT_EQ(joined, expected) << length;
        EXPECT_GT(g_lines.size(), 5u) << "each piece is its own line";
    }
}

// The dump bit dumps the whole library; else the memory bit without the
// lists bit dumps the memory list.
TEST_F(TraceTest, SettingTheTraceDumpsWhatItsBitsAsk) {
    for (uint32_t value : {0x23u, 0x20u, 0x01u, 0x09u, 0x00u, 0x40u}) {
        SCOPED_TRACE(value);
        g_lines.clear();
        ASSERT_EQ(kavrel_set_attr(ctx_, KAVREL_A_TRACE, value), 0u);
        std::vector<std::string> lines = texts();
        if ((value & TRACE_ATTR) != 0) {
            EXPECT_EQ(lines.at(0), fmt("kavrel_set_attr: (KAVREL_A_TRACE, 0x%x)\n", value));
            lines.erase(lines.begin());
        }
        const std::string dashes = std::string(80, '-') + "\n";
        if ((value & TRACE_DUMP) != 0) {
            ASSERT_GE(lines.size(), 4u);
            EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
                      (std::vector<std::string>{"", std::string(kavrel_version()) + "\n",
                                                "--Begin Kavrel datastructures\n"}));
            EXPECT_EQ(lines.back(), "-- End Kavrel datastructures\n");
            const std::string queue =
                fmt("Kavrel Memory queue at %p\n", static_cast<void *>(&ctx_->memory));
            EXPECT_NE(std::find(lines.begin(), lines.end(), queue), lines.end());
            EXPECT_EQ(std::count(lines.begin(), lines.end(), dashes), 0) << "no memory list";
            continue;
        }
        std::vector<std::string> expected;
        if (value == TRACE_MEMORY) {
            expected = {dashes, fmt("Memory list at %p\n", static_cast<void *>(&ctx_->memory)),
                        std::string(29, '=') + "\n"};
            for (KAVREL_LINK *l = ctx_->memory.next; l != &ctx_->memory; l = l->next) {
                const auto *b = reinterpret_cast<const KAVREL_MEM *>(l);
                expected.insert(
                    expected.end(),
                    {fmt("\tKAVREL_MEM at %p\n", static_cast<const void *>(b)),
                     fmt("\t\taddr: %p, size: %d (actual size: %d)\n", b->addr,
                         static_cast<int>(b->size), static_cast<int>(mem_actual_size(b->size))),
                     link_line("\t\tm_memchunks", &b->m_memchunks)});
            }
            expected.push_back(dashes);
            EXPECT_GT(expected.size(), 4u) << "the context holds its strings";
        }
        EXPECT_EQ(lines, expected);
    }
}

// Setting and reading an attribute is traced under bit two (for the trace
// attribute, of the new mask). No mask here has the properties bit, whose
// reload would trace more lines.
TEST_F(TraceTest, AttributeLinesNeedBitTwo) {
    // The mask before the call, whether it sets, the attribute, the value, the line.
    const std::tuple<uint32_t, bool, int32_t, uint32_t, const char *> cases[] = {
        {0x6, false, KAVREL_A_EMAIL_NOTIFICATION, 0,
         "kavrel_get_attr: (KAVREL_A_EMAIL_NOTIFICATION, 0)\n"},
        {0x0, true, KAVREL_A_TRACE, 0x2, "kavrel_set_attr: (KAVREL_A_TRACE, 0x2)\n"},
        {0x2, true, KAVREL_A_TRACE, 0x80, nullptr},
        {0x2, true, KAVREL_A_EMAIL_NOTIFICATION, 0xFFFFFFFFu,
         "kavrel_set_attr: (KAVREL_A_EMAIL_NOTIFICATION, -1)\n"},
        {0x7D, true, KAVREL_A_EMAIL_NOTIFICATION, 7, nullptr},
        {0xFFFFFF7Fu, false, KAVREL_A_TRACE, 0, "kavrel_get_attr: (KAVREL_A_TRACE, 0xffffff7f)\n"},
        {0x1, false, KAVREL_A_TRACE, 0, nullptr},
    };
    for (const auto &[trace, set, attribute, value, expected] : cases) {
        ctx_->trace = trace;
        g_lines.clear();
        uint32_t out = 0;
        ASSERT_EQ(
            set ? kavrel_set_attr(ctx_, attribute, value) : kavrel_get_attr(ctx_, attribute, &out),
            0u);
        // Nothing else follows: the new masks here ask for no dump.
        EXPECT_EQ(texts(), expected == nullptr ? std::vector<std::string>{}
                                               : std::vector<std::string>{expected})
            << std::hex << trace << " " << value;
    }
}

}  // namespace
