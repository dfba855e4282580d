// What the kavrel tests share: a message handler that keeps every line it
// is given, printf into a std::string, the messages a record holds, and
// whole files written and read.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "diag/errinfo.h"
#include "kavrel.h"
#include "support/platform.h"
#include "temp_dir.h"

namespace kavrel_test {

struct Line {
    int32_t severity;
    int32_t number;
    std::string text;
    KAVREL_CTX *ctx = nullptr;  // the handler's context argument
    bool operator==(const Line &o) const {
        return severity == o.severity && number == o.number && text == o.text;
    }
};

inline void PrintTo(const Line &l, std::ostream *os) {
    *os << "{" << l.severity << ", " << l.number << ", \"" << l.text << "\"}";
}

// Every line the handler was given, and what it answers (0: dealt with).
inline std::vector<Line> g_lines;
inline int32_t g_handler_result = 0;

inline int32_t capture(KAVREL_CTX *ctx, int32_t severity, int32_t number, const char *text) {
    g_lines.push_back({severity, number, text, ctx});
    return g_handler_result;
}

// printf into a std::string, for lines that carry addresses.
inline std::string fmt(const char *format, ...) KAVREL_PRINTF(1, 2);
inline std::string fmt(const char *format, ...) {
    char text[8192];
    va_list values;
    va_start(values, format);
    std::vsnprintf(text, sizeof text, format, values);
    va_end(values);
    return text;
}

struct Held {
    int32_t number;
    std::string text;
};

// Every message held in the record: each entry, then its details.
inline std::vector<Held> held(kavrel::KAVREL_ERR_INFO &ei) {
    std::vector<Held> out;
    for (kavrel::KAVREL_LINK *e = ei.errq.next; e != &ei.errq; e = e->next) {
        kavrel::KAVREL_ERR_MSG *entry = kavrel::errmsg_of_errq(e);
        out.push_back({entry->error, entry->buf});
        for (kavrel::KAVREL_LINK *d = entry->msgq.next; d != &entry->msgq; d = d->next) {
            out.push_back({kavrel::errmsg_of_msgq(d)->error, kavrel::errmsg_of_msgq(d)->buf});
        }
    }
    return out;
}

// Whether the record holds a message with this number and text.
inline bool holds(kavrel::KAVREL_ERR_INFO &ei, int32_t number, const std::string &text) {
    for (const Held &h : held(ei)) {
        if (h.number == number && h.text == text) return true;
    }
    return false;
}

// A file's bytes, written whole (mode "wb", or "ab" to add to them).
inline void write_bytes(const std::string &path, const std::string &bytes,
                        const char *mode = "wb") {
    std::FILE *f = std::fopen(path.c_str(), mode);
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

// A file's bytes, or "<none>" when it cannot be read.
inline std::string slurp(const std::string &path) {
    std::string out;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return "<none>";
    char buffer[65536];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
    std::fclose(f);
    return out;
}

// The build's share directory ($KAVREL_SHARE), or "" when it is not set.
inline std::string share_dir() {
    const char *share = std::getenv("KAVREL_SHARE");
    return share == nullptr ? std::string() : std::string(share);
}

// A context in en_US without a catalogue, in a directory of its own, whose
// lines are captured; injected allocation failures and the handler's answer
// are reset when the test ends.
class CapturedContext : public ::testing::Test {
  protected:
    void SetUp() override {
        g_lines.clear();
        g_handler_result = 0;
        ASSERT_EQ(kavrel_init(&ctx_, "Test", nullptr, dir_.str().c_str(), nullptr, nullptr, "en_US",
                              nullptr, capture),
                  0u);
        g_lines.clear();
    }
    void TearDown() override {
        kavrel_test_fail_alloc(0, 0);
        g_handler_result = 0;
        kavrel_free(&ctx_);
    }

    TempDir dir_;
    KAVREL_CTX *ctx_ = nullptr;
};

}  // namespace kavrel_test
