// The e-mail settings: their defaults, the severity keywords and the port
// text, the HELO name read once, the test connection made only when host or
// port change, the preconditions of the notifier's operations, the rules
// that decide whether a report is mailed, and allocation failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "email/email.h"
#include "kavrel_mail_fixture.h"

using namespace kavrel;
using namespace kavrel_test;
using namespace std::string_literals;

namespace {

// The texts of one number that reached the handler.
std::vector<std::string> texts_of(int32_t number) {
    std::vector<std::string> out;
    for (const Line &l : messages()) {
        if (l.number == number) out.push_back(l.text);
    }
    return out;
}

// "Assertion failed in email at line <n>: <condition>"
bool is_assertion(const std::string &text, const std::string &condition) {
    const std::size_t head = std::strlen("Assertion failed in email at line "),
                      digits = text.find_first_not_of("0123456789", head);
    return text.starts_with("Assertion failed in email at line ") && digits > head &&
           digits != std::string::npos && text.substr(digits) == ": " + condition;
}

using EmailTest = MailFixture;

TEST_F(EmailTest, DefaultsAndChanges) {
    ASSERT_EQ(init("other.key=1\n", KAVREL_TRACE_PROP), 0u);
    EXPECT_STREQ(ctx_->smtp_host, "");
    EXPECT_EQ(ctx_->smtp_port, 25);
    EXPECT_EQ(ctx_->email_severity, 80);
    ASSERT_NE(ctx_->email, nullptr);
    EXPECT_EQ(ctx_->email->host, nullptr);
    // The notifier is created, and without a host no connection is made,
    // not even to mail a report.
    EXPECT_EQ(trace_of("EMAIL "),
              std::vector{fmt("EMAIL email_init:(%p)\n", static_cast<void *>(ctx_->email))});
    store("email.sender", "alerts@example.com");
    store("email.recipients", "a@example.com");
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), STATUS_PROGRAMMING);
    EXPECT_TRUE(trace_of("SMTP ").empty());

    // A change of the file reaches the context at the start of the next call;
    // a property that is removed leaves its field as it was.
    store("email.severity", "LOG");
    store("email.sender", nullptr);
    store("email.recipients", "ops@example.com");
    touch();
    EXPECT_EQ(ctx_->email_severity, 40);
    EXPECT_STREQ(ctx_->email_sender, "alerts@example.com");
    EXPECT_STREQ(ctx_->email_recipients, "ops@example.com");

    // The notifier lives on with the process; freeing the context says so.
    ASSERT_EQ(kavrel_free(&ctx_), 0u);
    EXPECT_EQ(trace_of("kavrel_free DISABLED freeing email as it's global\n").size(), 1u);
}

// The warning for a setting that is not understood, quoting the one in force.
Line bad_setting(bool port, const std::string &text, const std::string &propfile,
                 const std::string &existing) {
    if (port) {
        return {SEV_WARNING, 131234,
                "Invalid port number " + text + " specified for the email.smtp.port property in " +
                    propfile + ". Existing value of " + existing + " will be used."};
    }
    return {SEV_WARNING, 131235,
            "Invalid severity " + text + " specified for the email.severity property in " +
                propfile + ". Existing severity " + existing +
                " will be used. Valid severity values are INFORMATIONAL, WARNING, ERROR, NONE"};
}

// The severity keywords and the port text as read at init; what is not
// understood leaves the setting in force, and the warning quotes it.
TEST_F(EmailTest, SeverityAndPortTexts) {
    const struct {
        bool port;
        const char *text;
        int value;  // the setting afterwards, starting from WARNING (80) or 25
        bool warned;
    } cases[] = {
        // clang-format off
        {false, "DEBUG", 20, false}, {false, "LOG", 40, false}, {false, "INFORMATIONAL", 60, false},
        {false, "WARNING", 80, false}, {false, "ERROR", 100, false}, {false, "NONE", 101, false},
        {false, "warning", 80, true}, {false, " ERROR", 80, true}, {false, "ERRORS", 80, true},
        {false, "", 80, true},
        {true, "2525", 2525, false}, {true, "2525abc", 2525, false}, {true, " 587", 587, false},
        {true, "+26", 26, false}, {true, "65537", 1, false}, {true, "abc", 25, true},
        {true, "0", 25, true}, {true, "65536", 25, true}, {true, "", 25, true},
        // clang-format on
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.port ? "port '" : "severity '") + c.text + "'");
        ASSERT_EQ(
            init((c.port ? "email.smtp.port=" : "email.severity=") + std::string(c.text) + "\n"),
            0u);
        EXPECT_EQ(c.port ? static_cast<uint16_t>(ctx_->smtp_port) : ctx_->email_severity, c.value);
        EXPECT_EQ(messages(), c.warned ? std::vector{bad_setting(c.port, c.text, propfile_,
                                                                 c.port ? "25" : "WARNING")}
                                       : std::vector<Line>{});
    }

    ASSERT_EQ(init("email.smtp.port=2525\nemail.severity=ERROR\n"), 0u);
    store("email.smtp.port", "smtp");
    store("email.severity", "FATAL");
    g_lines.clear();
    touch();
    EXPECT_EQ(ctx_->smtp_port, 2525);
    EXPECT_EQ(ctx_->email_severity, 100);
    EXPECT_EQ(messages(), (std::vector{bad_setting(true, "smtp", propfile_, "2525"),
                                       bad_setting(false, "FATAL", propfile_, "ERROR")}));

    // A threshold that is no keyword's falls back to WARNING.
    ASSERT_EQ(init(""), 0u);
    ctx_->email_severity = 55;
    store("email.severity", "log");
    touch();
    EXPECT_EQ(ctx_->email_severity, 80);
    EXPECT_EQ(messages(), std::vector{bad_setting(false, "log", propfile_, "WARNING")});
}

// The HELO name is read once at init: a later change is not seen.
TEST_F(EmailTest, HeloNameIsReadOnceAtInit) {
    for (const auto &[props, helo] :
         {std::pair<const char *, const char *>{"email.helo.fqdn=relay.example\n", "relay.example"},
          {"email.helo.fqdn=\n", ""},
          {"x=1\n", nullptr}}) {
        SCOPED_TRACE(props);
        ASSERT_EQ(init(props), 0u);
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(ctx_->email->helo, ctx_->helo);
            EXPECT_STREQ(ctx_->helo, helo);
            store("email.helo.fqdn", "changed.example");
            touch();
        }
    }
}

// The test connection is made when host or port change, and only then,
// even when it failed: its failure is reported and the new setting stays.
TEST_F(EmailTest, OnlyAChangedHostOrPortMakesATestConnection) {
    ScriptedServer a, b;
    ASSERT_EQ(init(smtp_props(closed_port())), 0u) << "initialisation goes on";
    EXPECT_EQ(texts_of(131268).size(), 1u);
    EXPECT_STREQ(ctx_->email->host, "127.0.0.1");
    g_lines.clear();
    touch();
    EXPECT_TRUE(g_lines.empty());
    store("email.smtp.port", a.port_text().c_str());
    touch();
    EXPECT_EQ(a.connections(), 1);
    EXPECT_EQ(ctx_->email->socket, -1) << "the test connection is closed again";
    touch();
    store("email.smtp.host", "127.0.0.1");  // the same value written again
    touch();
    // The same host and port given directly change nothing either.
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    EXPECT_EQ(email_config(ctx_->email, "127.0.0.1", static_cast<int16_t>(a.port()), &ei), 0u);
    errinfo_route(&ei);
    EXPECT_EQ(a.connections(), 1);
    // Only the port changes: one test connection to the new one, each time.
    store("email.smtp.port", b.port_text().c_str());
    touch();
    store("email.smtp.port", a.port_text().c_str());
    touch();
    EXPECT_EQ(a.connections(), 2);
    EXPECT_EQ(b.connections(), 1);
    EXPECT_TRUE(messages().empty());
}

TEST_F(EmailTest, TestConnectionIsTracedUnderTheEmailBitOnly) {
    ScriptedServer a;
    const std::string port = a.port_text();
    ASSERT_EQ(init(smtp_props(a.port()), KAVREL_TRACE_PROP), 0u);
    EXPECT_EQ(trace_of("SMTP "),
              (std::vector<std::string>{
                  "SMTP opening socket\n", "SMTP getaddrinfo to 127.0.0.1@" + port + " SUCCESS\n",
                  "SMTP socket for family 2, socktype 1, protocol 6\n",
                  "SMTP setting non-blocking\n", "SMTP connect to 127.0.0.1 on " + port + "\n",
                  "SMTP RECV: 220 ready\r\n\n", "SMTP closing socket\n"}));
    // Every other category on, the e-mail bit off: the connection is made
    // and nothing of it is traced.
    ASSERT_EQ(init(smtp_props(a.port()), ~KAVREL_TRACE_PROP & ~KAVREL_TRACE_DUMP), 0u);
    EXPECT_EQ(a.connections(), 2);
    EXPECT_TRUE(trace_of("SMTP ").empty());
    EXPECT_TRUE(trace_of("EMAIL ").empty());
}

TEST_F(EmailTest, ThresholdNoneMakesNoConnectionAtAll) {
    ScriptedServer a;
    ASSERT_EQ(
        init(smtp_props(a.port()) + "email.sender=s@example.com\nemail.recipients=r@example.com\n"
                                    "email.severity=NONE\n"),
        0u);
    EXPECT_EQ(ctx_->email->host, nullptr) << "email_config is not called";
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), STATUS_PROGRAMMING);
    EXPECT_EQ(a.connections(), 0);
    // Switched on again: the test connection, then one delivery per report.
    store("email.severity", "ERROR");
    touch();
    EXPECT_EQ(a.connections(), 1);
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), STATUS_PROGRAMMING);
    EXPECT_EQ(a.connections(), 2);
}

TEST_F(EmailTest, WhenAReportIsMailed) {
    const struct {
        const char *name, *host, *sender, *recipients;
        int32_t threshold, max_severity;
        bool wanted;
    } cases[] = {
        // clang-format off
        {"at the threshold", "h", "s", "r", 80, 80, true}, {"above", "h", "s", "r", 80, 100, true},
        {"below", "h", "s", "r", 80, 60, false}, {"nothing held", "h", "s", "r", 80, 0, false},
        {"NONE", "h", "s", "r", 101, 100, false}, {"no host", "", "s", "r", 80, 100, false},
        {"no sender", "h", "", "r", 80, 100, false}, {"no recipient", "h", "s", "", 80, 100, false},
        // clang-format on
    };
    ASSERT_EQ(init(""), 0u);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::snprintf(ctx_->smtp_host, sizeof ctx_->smtp_host, "%s", c.host);
        std::snprintf(ctx_->email_sender, sizeof ctx_->email_sender, "%s", c.sender);
        std::snprintf(ctx_->email_recipients, sizeof ctx_->email_recipients, "%s", c.recipients);
        ctx_->email_severity = c.threshold;
        KAVREL_ERR_INFO ei{};
        ei.consumer_ctx = ctx_;
        ei.max_severity = c.max_severity;
        EXPECT_EQ(email_wanted(&ei), c.wanted);
    }
}

// A failed precondition is routed at once through a record (email_send
// only holds it: the routing that called it writes it), or written to
// standard error without one; the notifier is not touched.
TEST_F(EmailTest, Preconditions) {
    ASSERT_EQ(init(""), 0u);
    EMAIL_DES fake{};  // no magic
    EMAIL_DES *fake_ptr = &fake, *none = nullptr, *out = nullptr, *e = ctx_->email;
    const std::string magic =
        "((email_des != (EMAIL_DES *) NULL) && (email_des->magic == EMAIL_DES_MAGIC))";
    const std::string host = "((host != NULL) && (host[0] != '\\0'))";
    const std::string no_ctx = "(email_ctx != NULL)", no_record = "(err_info != NULL)";
    enum Way { kAtOnce, kHeld, kStderr };
    using EI = KAVREL_ERR_INFO;
    using Call = std::function<uint32_t(EI *)>;
    const std::vector<std::tuple<std::string, Way, Call>> cases = {
        // clang-format off
        {no_ctx, kAtOnce, [&](EI *ei) { return email_init(ctx_, nullptr, nullptr, ei); }},
        {no_ctx, kAtOnce, [&](EI *ei) { return email_free(nullptr, ei); }},
        {"(*email_ctx != NULL)", kAtOnce, [&](EI *ei) { return email_free(&none, ei); }},
        {magic, kAtOnce, [&](EI *ei) { return email_free(&fake_ptr, ei); }},
        {host, kAtOnce, [&](EI *ei) { return email_config(nullptr, nullptr, 25, ei); }},
        {host, kAtOnce, [&](EI *ei) { return email_config(e, "", 25, ei); }},
        {no_ctx, kAtOnce, [&](EI *ei) { return email_config(nullptr, "h", 25, ei); }},
        {magic, kAtOnce, [&](EI *ei) { return email_config(&fake, "h", 25, ei); }},
        {no_ctx, kHeld, [&](EI *ei) { return email_send(nullptr, "s", "r", "S", "B", ei); }},
        {magic, kHeld, [&](EI *ei) { return email_send(&fake, "s", "r", "S", "B", ei); }},
        {no_record, kStderr, [&](EI *) { return email_init(ctx_, nullptr, &out, nullptr); }},
        {no_record, kStderr, [&](EI *) { return email_free(&e, nullptr); }},
        {host, kStderr, [&](EI *) { return email_config(e, nullptr, 25, nullptr); }},
        {no_record, kStderr, [&](EI *) { return email_config(e, "h", 25, nullptr); }},
        {no_ctx, kStderr, [&](EI *) { return email_send(nullptr, "s", "r", "S", "B", nullptr); }},
        // clang-format on
    };
    for (const auto &[condition, way, call] : cases) {
        SCOPED_TRACE(condition);
        g_lines.clear();
        KAVREL_ERR_INFO ei;
        errinfo_begin(ctx_, nullptr, &ei);
        testing::internal::CaptureStderr();
        EXPECT_EQ(call(&ei), STATUS_PROGRAMMING);
        EXPECT_EQ(g_lines.size(), way == kAtOnce ? 1u : 0u) << "routed before the call returns";
        errinfo_route(&ei);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(g_lines.size(), way == kStderr ? 0u : 1u);
        const Line got = g_lines.empty() ? Line{SEV_ERROR, MSG_PROGRAMMING, err} : g_lines[0];
        EXPECT_EQ(err.empty(), way != kStderr) << err;
        EXPECT_EQ(got.severity, SEV_ERROR);
        EXPECT_EQ(got.number, MSG_PROGRAMMING);
        EXPECT_TRUE(
            is_assertion(way == kStderr ? got.text.substr(0, err.size() - 1) : got.text, condition))
            << got.text;
        EXPECT_TRUE(way != kStderr || err.ends_with("\n"));
    }
    EXPECT_EQ(fake_ptr, &fake) << "a foreign record is left alone";
    EXPECT_EQ(fake.magic, 0u);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(e, ctx_->email);
}

TEST_F(EmailTest, HostCopyThatCannotBeAllocated) {
    ScriptedServer a;
    ASSERT_EQ(init(""), 0u);
    const auto port = static_cast<int16_t>(a.port());
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    kavrel_test_fail_alloc(0, 1);
    EXPECT_EQ(email_config(ctx_->email, "127.0.0.1", port, &ei), static_cast<uint32_t>(MSG_NOMEM));
    kavrel_test_fail_alloc(0, 0);
    errinfo_route(&ei);
    EXPECT_EQ(texts_of(MSG_NOMEM), std::vector{"Failed to allocate 9 bytes for email host."s});
    EXPECT_EQ(ctx_->email->host, nullptr);
    EXPECT_EQ(a.connections(), 0);
    // The notifier stays usable: the next configuration succeeds.
    errinfo_begin(ctx_, nullptr, &ei);
    EXPECT_EQ(email_config(ctx_->email, "127.0.0.1", port, &ei), 0u);
    errinfo_route(&ei);
    EXPECT_STREQ(ctx_->email->host, "127.0.0.1");
    EXPECT_EQ(a.connections(), 1);
}

// Each allocation of kavrel_init failed in turn, with a HELO name set: the
// HELO name's copy and the notifier are among them.
TEST_F(EmailTest, InitWhenAnAllocationFails) {
    const std::string props = "email.helo.fqdn=relay.example\nemail.sender=s@example.com\n";
    const int64_t before = kavrel_test_fail_alloc(0, 0);
    ASSERT_EQ(init(props), 0u);
    const int64_t total = kavrel_test_fail_alloc(0, 0) - before;
    kavrel_free(&ctx_);
    ASSERT_GT(total, 2);
    const std::string no_notifier =
        fmt("Failed to allocate %d bytes.", static_cast<int>(sizeof(EMAIL_DES)));
    bool helo_failed = false, notifier_failed = false;
    for (int64_t k = 0; k < total; ++k) {
        SCOPED_TRACE(k);
        g_lines.clear();
        dir_.write("tavro.properties", props);
        kavrel_test_fail_alloc(k, 1);
        const uint32_t status = open(&ctx_, "Inst");
        kavrel_test_fail_alloc(0, 0);
        const std::vector<std::string> nomem = texts_of(MSG_NOMEM);
        if (std::ranges::count(nomem, "Failed to allocate 14 bytes.") > 0) {
            helo_failed = true;
            EXPECT_EQ(status, 0u) << "initialisation goes on without a HELO name";
            ASSERT_NE(ctx_, nullptr);
            EXPECT_EQ(ctx_->helo, nullptr);
            EXPECT_EQ(ctx_->email->helo, nullptr);
            EXPECT_STREQ(ctx_->email_sender, "s@example.com");
        }
        if (std::ranges::count(nomem, no_notifier) > 0) {
            notifier_failed = true;
            EXPECT_EQ(status, static_cast<uint32_t>(MSG_NOMEM));
            EXPECT_EQ(ctx_, nullptr);
        }
        kavrel_free(&ctx_);
    }
    EXPECT_TRUE(helo_failed);
    EXPECT_TRUE(notifier_failed);
}

}  // namespace
