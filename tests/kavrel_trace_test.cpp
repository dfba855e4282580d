// Trace lines chosen by the context's mask, the time lines, and the dumps of
// the error-information record, of memory areas and of the whole library,
// including those that setting the trace attribute writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "diag/errinfo.h"
#include "diag/route.h"
#include "diag/trace.h"
#include "kavrel.h"
#include "kavrel_capture.h"
#include "kavrel_ctx.h"
#include "support/mem.h"
#include "support/timefmt.h"
#include "temp_dir.h"

using namespace kavrel;

namespace {

using kavrel_test::capture;
using kavrel_test::fmt;
using kavrel_test::g_handler_result;
using kavrel_test::g_lines;
using kavrel_test::Line;

std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto &l : g_lines) out.push_back(l.text);
    return out;
}

// The lines of a call without those of the properties reload that begins
// every call (written when the properties category is on, with the memory
// lines of the time formatting).
std::vector<std::string> call_texts() {
    std::vector<std::string> out;
    for (const auto &l : g_lines) {
        const std::string &t = l.text;
        if (t.rfind("PROP ", 0) == 0 || t.rfind("\tmod time", 0) == 0 ||
            t.rfind("\tlast use", 0) == 0 || t.rfind("\tallocated ", 0) == 0 ||
            t.rfind("\tfreed memory", 0) == 0) {
            continue;
        }
        out.push_back(t);
    }
    return out;
}

// Every piece a dump wrote, joined.
std::string joined() {
    std::string out;
    for (const auto &l : g_lines) out += l.text;
    return out;
}

// The "<label>: <link>, next: <next>, prev: <prev>" line of a list link.
std::string link_line(const char *label, const KAVREL_LINK *link) {
    return fmt("%s: %p, next: %p, prev: %p\n", label, static_cast<const void *>(link),
               static_cast<const void *>(link->next), static_cast<const void *>(link->prev));
}

const std::string kDashes = std::string(80, '-') + "\n";
const std::string kEquals = std::string(29, '=') + "\n";

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(kavrel_init(&ctx_, "Trace", nullptr, dir_.str().c_str(), nullptr, nullptr,
                              "en_US", nullptr, capture),
                  0u);
        g_lines.clear();
    }
    void TearDown() override {
        ctx_->trace = 0;
        kavrel_free(&ctx_);
    }

    TempDir dir_;
    KAVREL_CTX *ctx_ = nullptr;
};

TEST_F(TraceTest, LineIsWrittenWhenTheMasksShareABit) {
    const struct {
        uint32_t trace;
        uint32_t mask;
        bool written;
    } cases[] = {
        {0x1, TRACE_MEMORY, true}, {0x2, TRACE_MEMORY, false},     {0x80, 0x81, true},
        {0x40, 0x81, false},       {0x80000000u, TRACE_ANY, true}, {0x0, TRACE_ANY, false},
        {0x20, 0x0, false},
    };
    for (const auto &c : cases) {
        g_lines.clear();
        ctx_->trace = c.trace;
        trace_printf(ctx_, c.mask, "line %d of 0x%x\n", 7, c.mask);
        if (c.written) {
            ASSERT_EQ(g_lines.size(), 1u) << std::hex << c.trace << " " << c.mask;
            EXPECT_EQ(g_lines[0].severity, SEV_DEBUG);
            EXPECT_EQ(g_lines[0].text, fmt("line 7 of 0x%x\n", c.mask));
        } else {
            EXPECT_TRUE(g_lines.empty()) << std::hex << c.trace << " " << c.mask;
        }
    }
}

TEST_F(TraceTest, MaskedOffLineIsNotEvenFormatted) {
    // The value is not a string: formatting it would read past its four
    // bytes, which the sanitizer reports.
    const char not_a_string[4] = {'a', 'b', 'c', 'd'};
    ctx_->trace = TRACE_PROP;
    trace_printf(ctx_, TRACE_MEMORY, "%s\n", not_a_string);
    trace_time_printf(ctx_, TRACE_MEMORY, 0, "%s\n", not_a_string);
    trace_printf(nullptr, TRACE_ANY, "%s\n", not_a_string);
    EXPECT_TRUE(g_lines.empty());
}

TEST_F(TraceTest, TraceTextIsCutTo512Characters) {
    ctx_->trace = TRACE_ANY;
    const std::string text(700, 't');
    trace_printf(ctx_, TRACE_MEMORY, "%s", text.c_str());
    trace_always(ctx_, "%s", text.c_str());
    trace_always(ctx_, "%s", text.substr(0, 512).c_str());
    ASSERT_EQ(g_lines.size(), 3u);
    for (const auto &l : g_lines) EXPECT_EQ(l.text, text.substr(0, 512));
}

std::string shown_time(KAVREL_CTX *ctx, std::time_t t) {
    char shown[kTimeBufSize];
    format_time(ctx, "en_US", &t, shown);
    return shown;
}

TEST_F(TraceTest, TraceTimeWritesTheLineThenTheTime) {
    const std::time_t t = 1222448388;
    ctx_->trace = 0;
    trace_time(ctx_, t, "%s at\n", "event");
    EXPECT_EQ(texts(), (std::vector<std::string>{"event at\n", fmt("%ld - %s\n", 1222448388L,
                                                                   shown_time(ctx_, t).c_str())}));

    g_lines.clear();
    trace_time_printf(ctx_, TRACE_PROP, t, "%s\n", "masked");
    EXPECT_TRUE(g_lines.empty());
    ctx_->trace = TRACE_PROP;
    trace_time_printf(ctx_, TRACE_PROP, t, "%s\n", "shown");
    EXPECT_EQ(texts(), (std::vector<std::string>{"shown\n", fmt("%ld - %s\n", 1222448388L,
                                                                shown_time(ctx_, t).c_str())}));
}

TEST_F(TraceTest, TraceTimeLabelNeedsSomeTraceBit) {
    const std::time_t t = 86400;
    ctx_->trace = 0;
    trace_time_label(ctx_, "modified", t);
    EXPECT_TRUE(g_lines.empty());
    ctx_->trace = 0x40;  // a bit no category uses still counts
    trace_time_label(ctx_, "modified", t);
    EXPECT_EQ(
        texts(),
        (std::vector<std::string>{fmt("modified: 86400 - %s\n", shown_time(ctx_, t).c_str())}));
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

TEST_F(TraceTest, DumpErrInfoListsTheEntryAndEachDetailOnce) {
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    errinfo_add(&ei, SEV_ERROR, 131235, "entry %d", 1);
    errinfo_add(&ei, SEV_WARNING, 131234, "first detail");
    errinfo_add(&ei, SEV_INFORMATIONAL, 0, "second detail");
    ei.flags |= ERRINFO_NO_NUMBERS;
    ctx_->trace = 0;
    dump_err_info(ctx_, &ei);

    KAVREL_ERR_MSG *entry = errmsg_of_errq(ei.errq.next);
    KAVREL_ERR_MSG *d1 = errmsg_of_msgq(entry->msgq.next);
    KAVREL_ERR_MSG *d2 = errmsg_of_msgq(entry->msgq.prev);
    std::vector<std::string> expected = {
        fmt("KAVREL_ERR_INFO at %p\n", static_cast<void *>(&ei)),
        fmt("\tconsumer_ctx: %p, msg_ctx: %p\n", static_cast<void *>(ctx_),
            static_cast<void *>(nullptr)),
        "\ttotal_msgs: 3, total_text_len: 32\n",
        "\tmax_severity: 100, flags: 0x4\n",
        "\tbuf: second detail\n",
        link_line("\t\terrq", &ei.errq),
    };
    expect_msg_lines(expected, "\t\t", entry);
    expect_msg_lines(expected, "\t\t\t", d1);
    expect_msg_lines(expected, "\t\t\t", d2);
    EXPECT_EQ(texts(), expected);
    for (const auto &l : g_lines) {
        EXPECT_EQ(l.severity, SEV_DEBUG);
        EXPECT_EQ(l.number, 0);
    }
    errinfo_route(&ei);
}

TEST_F(TraceTest, DumpErrInfoWritesTheMessagesThroughTheRecordsContext) {
    TempDir other_dir;
    KAVREL_CTX *other = nullptr;
    ASSERT_EQ(kavrel_init(&other, "Other", nullptr, other_dir.str().c_str(), nullptr, nullptr,
                          "en_US", nullptr, capture),
              0u);
    g_lines.clear();
    KAVREL_ERR_INFO ei;
    errinfo_begin(other, nullptr, &ei);
    errinfo_add(&ei, SEV_ERROR, 1, "e");
    dump_err_info(ctx_, &ei);
    ASSERT_EQ(g_lines.size(), 12u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(g_lines[i].ctx, ctx_) << i;
    for (std::size_t i = 5; i < g_lines.size(); ++i) EXPECT_EQ(g_lines[i].ctx, other) << i;
    errinfo_route(&ei);
    kavrel_free(&other);
}

TEST_F(TraceTest, DumpOfNullRecords) {
    dump_err_info(ctx_, nullptr);
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           fmt("KAVREL_ERR_INFO at %p\n", static_cast<void *>(nullptr)),
                           "\tpointer is NULL"}));
    g_lines.clear();
    dump_err_msg(ctx_, nullptr, true, "\t\t");
    EXPECT_EQ(texts(), (std::vector<std::string>{
                           fmt("\t\tKAVREL_ERR_MSG at %p\n", static_cast<void *>(nullptr)),
                           "\t\t\tpointer is NULL\n"}));
}

// The line head of a hex dump: "\n<address> (<offset>):  ".
std::string head(const void *address, int offset) {
    return fmt("\n%p (%6d):  ", address, offset);
}

TEST_F(TraceTest, DumpHexOfFiveBytes) {
    const char bytes[] = "ABCDE";
    dump_hex(ctx_, bytes, 5);
    // 20 columns of head, 11 of hex, padded to 65, one more space.
    EXPECT_EQ(joined(), head(bytes, 0) + "41424344 45" + std::string(34, ' ') + " ABCDE\n");
    // Each piece is its own call.
    EXPECT_GT(g_lines.size(), 5u);
}

TEST_F(TraceTest, DumpHexCharactersStartInTheSameColumnOnEveryLine) {
    unsigned char bytes[27];
    for (int i = 0; i < 27; ++i) bytes[i] = static_cast<unsigned char>('a' + i);
    bytes[21] = 0x00;
    bytes[22] = 0x7f;
    bytes[23] = 0xff;
    bytes[24] = '\n';
    dump_hex(ctx_, bytes, 27);
    const std::string text = joined();
    EXPECT_EQ(text, head(bytes, 0) + "61626364 65666768 696a6b6c 6d6e6f70 71727374  " +
                        "abcdefghijklmnopqrst" + head(bytes + 20, 20) + "75007fff 0a7a7b" +
                        std::string(30, ' ') + " u...." + "z{\n");
    // On both lines the characters start 46 columns after the line head.
    const std::size_t first_head = head(bytes, 0).size();
    const std::size_t second_head = head(bytes + 20, 20).size();
    EXPECT_EQ(text.find("abcd"), first_head + 46);
    EXPECT_EQ(text.find("u...."), first_head + 46 + 20 + second_head + 46);
}

TEST_F(TraceTest, DumpHexOfNothing) {
    const char bytes[] = "";
    for (int32_t length : {0, -3}) {
        g_lines.clear();
        dump_hex(ctx_, bytes, length);
        EXPECT_EQ(joined(), head(bytes, 0) + std::string(45, ' ') + " \n") << length;
    }
}

void expect_framing(const std::vector<std::string> &lines, std::size_t from) {
    ASSERT_GE(lines.size(), from + 4);
    EXPECT_EQ(lines[from], "");
    EXPECT_EQ(lines[from + 1], std::string(kavrel_version()) + "\n");
    EXPECT_EQ(lines[from + 2], "--Begin Kavrel datastructures\n");
    EXPECT_EQ(lines.back(), "-- End Kavrel datastructures\n");
}

TEST_F(TraceTest, DumpDatastructuresFramesTheMemoryDump) {
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    ctx_->trace = 0;
    dump_datastructures(ctx_, &ei);
    const std::vector<std::string> lines = texts();
    expect_framing(lines, 0);
    const std::string queue =
        fmt("Kavrel Memory queue at %p\n", static_cast<void *>(&ctx_->memory));
    EXPECT_NE(std::find(lines.begin(), lines.end(), queue), lines.end());
    errinfo_route(&ei);
}

TEST_F(TraceTest, SettingTheTraceWithTheDumpBitDumpsEverything) {
    for (uint32_t value : {0x23u, 0x20u}) {
        g_lines.clear();
        ASSERT_EQ(kavrel_set_attr(ctx_, KAVREL_A_TRACE, value), 0u);
        EXPECT_EQ(ctx_->trace, value);
        const std::vector<std::string> lines = texts();
        std::size_t from = 0;
        if ((value & TRACE_ATTR) != 0) {
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines[0], fmt("kavrel_set_attr: (KAVREL_A_TRACE, 0x%x)\n", value));
            from = 1;
        }
        expect_framing(lines, from);
        EXPECT_EQ(std::count(lines.begin(), lines.end(), kDashes), 0) << "no memory list dump";
    }
}

TEST_F(TraceTest, SettingTheTraceWithTheMemoryBitDumpsTheMemoryList) {
    ASSERT_EQ(kavrel_set_attr(ctx_, KAVREL_A_TRACE, 0x01), 0u);
    std::vector<std::string> expected = {
        kDashes, fmt("Memory list at %p\n", static_cast<void *>(&ctx_->memory)), kEquals};
    for (KAVREL_LINK *l = ctx_->memory.next; l != &ctx_->memory; l = l->next) {
        const auto *block = reinterpret_cast<const KAVREL_MEM *>(l);
        expected.push_back(fmt("\tKAVREL_MEM at %p\n", static_cast<const void *>(block)));
        expected.push_back(fmt("\t\taddr: %p, size: %d (actual size: %d)\n", block->addr,
                               static_cast<int>(block->size),
                               static_cast<int>(mem_actual_size(block->size))));
        expected.push_back(link_line("\t\tm_memchunks", &block->m_memchunks));
    }
    expected.push_back(kDashes);
    EXPECT_GT(expected.size(), 4u) << "the context holds its strings";
    EXPECT_EQ(texts(), expected);
}

TEST_F(TraceTest, SettingTheTraceWithoutDumpBits) {
    for (uint32_t value : {0x09u, 0x00u, 0x40u}) {
        g_lines.clear();
        ASSERT_EQ(kavrel_set_attr(ctx_, KAVREL_A_TRACE, value), 0u);
        EXPECT_TRUE(call_texts().empty()) << std::hex << value;
        EXPECT_EQ(ctx_->trace, value);
    }
}

TEST_F(TraceTest, AttributeLinesNeedBitTwo) {
    const struct {
        uint32_t trace;
        bool set;
        int32_t attribute;
        uint32_t value;
        const char *expected;  // null: no line
    } cases[] = {
        {0x0, true, KAVREL_A_TRACE, 0x2, "kavrel_set_attr: (KAVREL_A_TRACE, 0x2)\n"},
        {0x2, true, KAVREL_A_TRACE, 0x82, "kavrel_set_attr: (KAVREL_A_TRACE, 0x82)\n"},
        {0x2, true, KAVREL_A_TRACE, 0x80, nullptr},  // judged on the new mask
        {0x2, true, KAVREL_A_EMAIL_NOTIFICATION, 7,
         "kavrel_set_attr: (KAVREL_A_EMAIL_NOTIFICATION, 7)\n"},
        {0x2, true, KAVREL_A_EMAIL_NOTIFICATION, 0xFFFFFFFFu,
         "kavrel_set_attr: (KAVREL_A_EMAIL_NOTIFICATION, -1)\n"},
        {0x81, true, KAVREL_A_EMAIL_NOTIFICATION, 7, nullptr},
        {0x2, false, KAVREL_A_TRACE, 0, "kavrel_get_attr: (KAVREL_A_TRACE, 0x2)\n"},
        {0xFFFFFFFFu, false, KAVREL_A_TRACE, 0, "kavrel_get_attr: (KAVREL_A_TRACE, 0xffffffff)\n"},
        {0x6, false, KAVREL_A_EMAIL_NOTIFICATION, 0,
         "kavrel_get_attr: (KAVREL_A_EMAIL_NOTIFICATION, 0)\n"},
        {0x1, false, KAVREL_A_TRACE, 0, nullptr},
    };
    for (const auto &c : cases) {
        ctx_->trace = c.trace;
        ctx_->emailnotification = 0;
        g_lines.clear();
        uint32_t out = 0;
        if (c.set) {
            ASSERT_EQ(kavrel_set_attr(ctx_, c.attribute, c.value), 0u);
        } else {
            ASSERT_EQ(kavrel_get_attr(ctx_, c.attribute, &out), 0u);
        }
        const std::vector<std::string> lines = call_texts();
        if (c.expected == nullptr) {
            EXPECT_TRUE(lines.empty()) << std::hex << c.trace << " " << c.value;
        } else {
            ASSERT_FALSE(lines.empty()) << c.expected;
            EXPECT_EQ(lines[0], c.expected);
            // A get writes nothing else; a set of the mask may go on with a
            // dump, a set of the notification value does not.
            if (!c.set || c.attribute == KAVREL_A_EMAIL_NOTIFICATION) {
                EXPECT_EQ(lines.size(), 1u);
            }
        }
    }
}

}  // namespace
