// The e-mail settings: their defaults, the severity keywords and the port
// text, the HELO name read once, the test connection made only when host or
// port change, the preconditions of the notifier's operations, the rules
// that decide whether a report is mailed, and allocation failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "email/email.h"
#include "kavrel_mail_fixture.h"

using namespace kavrel;
using namespace kavrel_test;

namespace {

// The lines of one number that reached the handler.
std::vector<std::string> texts_of(int32_t number) {
    std::vector<std::string> out;
    for (const Line &l : g_lines) {
        if (l.severity != SEV_DEBUG && l.number == number) out.push_back(l.text);
    }
    return out;
}

// The first line of a number that reached the handler, or null.
const Line *line_of(int32_t number) {
    for (const Line &l : g_lines) {
        if (l.severity != SEV_DEBUG && l.number == number) return &l;
    }
    return nullptr;
}

// The trace lines of the notifier and the SMTP connection.
std::vector<std::string> mail_trace() {
    std::vector<std::string> out;
    for (const Line &l : g_lines) {
        if (l.severity == SEV_DEBUG &&
            (l.text.rfind("SMTP ", 0) == 0 || l.text.rfind("EMAIL ", 0) == 0)) {
            out.push_back(l.text);
        }
    }
    return out;
}

// "Assertion failed in email at line <n>: <condition>"
bool is_assertion(const std::string &text, const std::string &condition) {
    const std::string head = "Assertion failed in email at line ";
    const std::string tail = ": " + condition;
    if (text.size() <= head.size() + tail.size() || text.rfind(head, 0) != 0 ||
        text.compare(text.size() - tail.size(), tail.size(), tail) != 0) {
        return false;
    }
    const std::string line = text.substr(head.size(), text.size() - head.size() - tail.size());
    return std::all_of(line.begin(), line.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A relay on the loopback interface that greets every connection and closes
// it at once, counting the connections.
class GreetingServer {
  public:
    GreetingServer() : thread_([this] { run(); }) {}
    ~GreetingServer() {
        stop_ = true;
        thread_.join();
    }
    GreetingServer(const GreetingServer &) = delete;
    GreetingServer &operator=(const GreetingServer &) = delete;

    int port() const { return listener_.port(); }
    std::string port_text() const { return listener_.port_text(); }
    int connections() const { return count_.load(); }

  private:
    void run() {
        while (!stop_) {
            const int c = listener_.accept_one();
            if (c < 0) continue;
            ++count_;
            static const char greeting[] = "220 ready\r\n";
            ::send(c, greeting, sizeof greeting - 1, MSG_NOSIGNAL);
            ::close(c);
        }
    }

    Listener listener_;
    std::atomic<bool> stop_{false};
    std::atomic<int> count_{0};
    std::thread thread_;
};

class EmailTest : public MailFixture {
  protected:
    // A library call that adds nothing: its start re-reads the settings.
    void touch() {
        uint32_t value = 0;
        ASSERT_EQ(kavrel_get_attr(ctx_, KAVREL_A_EMAIL_NOTIFICATION, &value), 0u);
    }

    void store(const char *name, const char *value) {
        ASSERT_EQ(kavrel_store_prop(ctx_, name, value), 0u);
    }
};

TEST_F(EmailTest, WithoutPropertiesTheDefaultsStayAndNothingIsMailed) {
    ASSERT_EQ(init("other.key=1\n", KAVREL_TRACE_PROP), 0u);
    EXPECT_STREQ(ctx_->smtp_host, "");
    EXPECT_EQ(ctx_->smtp_port, 25);
    EXPECT_EQ(ctx_->email_severity, 80);
    ASSERT_NE(ctx_->email, nullptr);
    EXPECT_EQ(ctx_->email->host, nullptr);
    // The notifier is created, and no test connection is made.
    EXPECT_EQ(mail_trace(), std::vector<std::string>{fmt("EMAIL %s(%p)\n", "email_init:",
                                                         static_cast<void *>(ctx_->email))});

    g_lines.clear();
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), STATUS_PROGRAMMING);
    EXPECT_EQ(texts_of(MSG_PROGRAMMING).size(), 1u);
    EXPECT_TRUE(mail_trace().empty());

    // The notifier lives on with the process; freeing the context says so.
    g_lines.clear();
    ASSERT_EQ(kavrel_free(&ctx_), 0u);
    bool said = false;
    for (const Line &l : g_lines) {
        said = said || l.text == "kavrel_free DISABLED freeing email as it's global\n";
    }
    EXPECT_TRUE(said);
}

TEST_F(EmailTest, SettingsAreReadFromTheProperties) {
    ASSERT_EQ(init("email.smtp.port=2525\nemail.sender=alerts@example.com\n"
                   "email.recipients=a@example.com,b@example.com\nemail.severity=ERROR\n"),
              0u);
    EXPECT_EQ(ctx_->smtp_port, 2525);
    EXPECT_STREQ(ctx_->email_recipients, "a@example.com,b@example.com");
    EXPECT_TRUE(g_lines.empty());

    // A change of the file reaches the context at the start of the next call;
    // a property that is removed leaves its field as it was.
    store("email.severity", "LOG");
    store("email.sender", nullptr);
    store("email.recipients", "ops@example.com");
    touch();
    EXPECT_EQ(ctx_->email_severity, 40);
    EXPECT_STREQ(ctx_->email_sender, "alerts@example.com");
    EXPECT_STREQ(ctx_->email_recipients, "ops@example.com");
}

struct SeverityCase {
    const char *text;
    int32_t threshold;  // after reading it, starting from the default 80
    bool warned;
};

class SeverityKeyword : public EmailTest, public ::testing::WithParamInterface<SeverityCase> {};

TEST_P(SeverityKeyword, IsReadAtInit) {
    const SeverityCase &c = GetParam();
    ASSERT_EQ(init(std::string("email.severity=") + c.text + "\n"), 0u);
    EXPECT_EQ(ctx_->email_severity, c.threshold);
    const std::vector<std::string> warnings = texts_of(131235);
    if (!c.warned) {
        EXPECT_TRUE(warnings.empty());
        return;
    }
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "Invalid severity " + std::string(c.text) +
                               " specified for the email.severity property in " + propfile_ +
                               ". Existing severity WARNING will be used. Valid severity values "
                               "are INFORMATIONAL, WARNING, ERROR, NONE");
    EXPECT_EQ(line_of(131235)->severity, SEV_WARNING);
}

INSTANTIATE_TEST_SUITE_P(
    Email, SeverityKeyword,
    ::testing::Values(SeverityCase{"DEBUG", 20, false}, SeverityCase{"LOG", 40, false},
                      SeverityCase{"INFORMATIONAL", 60, false}, SeverityCase{"WARNING", 80, false},
                      SeverityCase{"ERROR", 100, false}, SeverityCase{"NONE", 101, false},
                      SeverityCase{"warning", 80, true}, SeverityCase{" ERROR", 80, true},
                      SeverityCase{"ERRORS", 80, true}, SeverityCase{"", 80, true}),
    [](const auto &p) { return "Case" + std::to_string(p.index); });

TEST_F(EmailTest, InvalidSeverityKeepsThePreviousKeyword) {
    ASSERT_EQ(init("email.severity=ERROR\n"), 0u);
    store("email.severity", "FATAL");
    g_lines.clear();
    touch();
    EXPECT_EQ(ctx_->email_severity, 100);
    ASSERT_EQ(texts_of(131235).size(), 1u);
    EXPECT_NE(texts_of(131235)[0].find(". Existing severity ERROR will be used. "),
              std::string::npos);
}

TEST_F(EmailTest, SeverityParseFallsBackToWarningFromAnUnnamedThreshold) {
    ASSERT_EQ(init(""), 0u);
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    int32_t threshold = 55;
    EXPECT_EQ(email_severity_parse(ctx_, "LOG", &threshold, &ei), 0u);
    EXPECT_EQ(threshold, 40);
    threshold = 55;
    EXPECT_EQ(email_severity_parse(ctx_, "log", &threshold, &ei), STATUS_PROGRAMMING);
    EXPECT_EQ(threshold, 80);
    errinfo_route(&ei);
    ASSERT_EQ(texts_of(131235).size(), 1u);
    EXPECT_NE(texts_of(131235)[0].find("Invalid severity log specified for the email.severity "
                                       "property in " +
                                       propfile_ + ". Existing severity WARNING will be used."),
              std::string::npos);
}

struct PortCase {
    const char *text;
    int port;  // the port in force afterwards, starting from the default 25
    bool warned;
};

class PortText : public EmailTest, public ::testing::WithParamInterface<PortCase> {};

TEST_P(PortText, IsReadAtInit) {
    const PortCase &c = GetParam();
    ASSERT_EQ(init(std::string("email.smtp.port=") + c.text + "\n"), 0u);
    EXPECT_EQ(static_cast<uint16_t>(ctx_->smtp_port), c.port);
    const std::vector<std::string> warnings = texts_of(131234);
    if (!c.warned) {
        EXPECT_TRUE(warnings.empty());
        return;
    }
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], "Invalid port number " + std::string(c.text) +
                               " specified for the email.smtp.port property in " + propfile_ +
                               ". Existing value of 25 will be used.");
}

INSTANTIATE_TEST_SUITE_P(Email, PortText,
                         ::testing::Values(PortCase{"2525", 2525, false},
                                           PortCase{"2525abc", 2525, false},
                                           PortCase{" 587", 587, false}, PortCase{"+26", 26, false},
                                           PortCase{"65537", 1, false}, PortCase{"abc", 25, true},
                                           PortCase{"0", 25, true}, PortCase{"65536", 25, true},
                                           PortCase{"", 25, true}),
                         [](const auto &p) { return "Case" + std::to_string(p.index); });

TEST_F(EmailTest, InvalidPortQuotesThePortInForce) {
    ASSERT_EQ(init("email.smtp.port=2525\n"), 0u);
    store("email.smtp.port", "smtp");
    g_lines.clear();
    touch();
    EXPECT_EQ(ctx_->smtp_port, 2525);
    EXPECT_EQ(texts_of(131234),
              std::vector<std::string>{"Invalid port number smtp specified for the email.smtp.port "
                                       "property in " +
                                       propfile_ + ". Existing value of 2525 will be used."});
}

// The HELO name is read once at init: a later change is not seen.
TEST_F(EmailTest, HeloNameIsReadOnceAtInit) {
    const struct {
        const char *props, *helo;  // helo null: none
    } cases[] = {{"email.helo.fqdn=relay.example\n", "relay.example"},
                 {"email.helo.fqdn=\n", ""},
                 {"x=1\n", nullptr}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.props);
        ASSERT_EQ(init(c.props), 0u);
        for (int pass = 0; pass < 2; ++pass) {
            EXPECT_EQ(ctx_->email->helo, ctx_->helo);
            EXPECT_EQ(ctx_->helo == nullptr, c.helo == nullptr);
            if (ctx_->helo != nullptr && c.helo != nullptr) {
                EXPECT_STREQ(ctx_->helo, c.helo);
            }
            store("email.helo.fqdn", "changed.example");
            touch();
        }
        kavrel_free(&ctx_);
    }
}

TEST_F(EmailTest, OnlyAChangedHostOrPortMakesATestConnection) {
    GreetingServer a, b;
    ASSERT_EQ(init("email.smtp.host=127.0.0.1\nemail.smtp.port=" + a.port_text() + "\n"), 0u);
    EXPECT_EQ(a.connections(), 1);
    EXPECT_EQ(ctx_->email->socket, -1) << "the test connection is closed again";
    touch();
    touch();
    store("email.smtp.host", "127.0.0.1");  // the same value written again
    touch();
    EXPECT_EQ(a.connections(), 1);
    // The same host and port given directly change nothing either.
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    EXPECT_EQ(email_config(ctx_->email, "127.0.0.1", static_cast<int16_t>(a.port()), &ei), 0u);
    errinfo_route(&ei);
    EXPECT_EQ(a.connections(), 1);

    // Only the port changes: one test connection to the new one.
    store("email.smtp.port", b.port_text().c_str());
    touch();
    EXPECT_EQ(b.connections(), 1);
    EXPECT_EQ(a.connections(), 1);
    store("email.smtp.port", a.port_text().c_str());
    touch();
    EXPECT_EQ(a.connections(), 2);
    EXPECT_EQ(b.connections(), 1);
    EXPECT_TRUE(texts_of(131268).empty());
}

TEST_F(EmailTest, TestConnectionIsTracedUnderTheEmailBitOnly) {
    GreetingServer a;
    const std::string port = a.port_text();
    ASSERT_EQ(init("email.smtp.host=127.0.0.1\nemail.smtp.port=" + port + "\n", KAVREL_TRACE_PROP),
              0u);
    EXPECT_EQ(mail_trace(),
              (std::vector<std::string>{
                  fmt("EMAIL %s(%p)\n", "email_init:", static_cast<void *>(ctx_->email)),
                  "SMTP opening socket\n", "SMTP getaddrinfo to 127.0.0.1@" + port + " SUCCESS\n",
                  "SMTP socket for family 2, socktype 1, protocol 6\n",
                  "SMTP setting non-blocking\n", "SMTP connect to 127.0.0.1 on " + port + "\n",
                  "SMTP RECV: 220 ready\r\n\n", "SMTP closing socket\n"}));

    // Every other category on, the e-mail bit off: the connection is made
    // and nothing of it is traced.
    kavrel_free(&ctx_);
    g_lines.clear();
    ASSERT_EQ(init("email.smtp.host=127.0.0.1\nemail.smtp.port=" + port + "\n",
                   ~KAVREL_TRACE_PROP & ~KAVREL_TRACE_DUMP),
              0u);
    EXPECT_EQ(a.connections(), 2);
    EXPECT_TRUE(mail_trace().empty());
}

TEST_F(EmailTest, FailedTestConnectionIsReportedAndNotRetriedUntilAChange) {
    const int port = closed_port();
    ASSERT_EQ(init("email.smtp.host=127.0.0.1\nemail.smtp.port=" + std::to_string(port) + "\n"), 0u)
        << "initialisation goes on";
    EXPECT_EQ(texts_of(131268),
              std::vector<std::string>{fmt("Failed to connect to SMTP host 127.0.0.1 on port %d. "
                                           "errno=%d %s",
                                           port, ECONNREFUSED, std::strerror(ECONNREFUSED))});
    EXPECT_STREQ(ctx_->email->host, "127.0.0.1") << "the new setting stays";
    g_lines.clear();
    touch();
    touch();
    EXPECT_TRUE(g_lines.empty());
    store("email.smtp.port", std::to_string(closed_port()).c_str());
    touch();
    EXPECT_EQ(texts_of(131268).size(), 1u);
}

TEST_F(EmailTest, ThresholdNoneMakesNoConnectionAtAll) {
    GreetingServer a;
    ASSERT_EQ(init("email.smtp.host=127.0.0.1\nemail.smtp.port=" + a.port_text() +
                   "\nemail.sender=s@example.com\nemail.recipients=r@example.com\n"
                   "email.severity=NONE\n"),
              0u);
    EXPECT_EQ(ctx_->email_severity, 101);
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

struct WantedCase {
    const char *name;
    const char *host, *sender, *recipients;
    int32_t threshold, max_severity;
    bool wanted;
};

class Wanted : public EmailTest, public ::testing::WithParamInterface<WantedCase> {};

TEST_P(Wanted, Rules) {
    const WantedCase &c = GetParam();
    ASSERT_EQ(init(""), 0u);
    std::snprintf(ctx_->smtp_host, sizeof ctx_->smtp_host, "%s", c.host);
    std::snprintf(ctx_->email_sender, sizeof ctx_->email_sender, "%s", c.sender);
    std::snprintf(ctx_->email_recipients, sizeof ctx_->email_recipients, "%s", c.recipients);
    ctx_->email_severity = c.threshold;
    KAVREL_ERR_INFO ei{};
    ei.consumer_ctx = ctx_;
    ei.max_severity = c.max_severity;
    EXPECT_EQ(email_wanted(&ei), c.wanted);
}

INSTANTIATE_TEST_SUITE_P(Email, Wanted,
                         ::testing::Values(WantedCase{"AtThreshold", "h", "s", "r", 80, 80, true},
                                           WantedCase{"Above", "h", "s", "r", 80, 100, true},
                                           WantedCase{"Below", "h", "s", "r", 80, 60, false},
                                           WantedCase{"ThresholdNone", "h", "s", "r", 101, 100,
                                                      false},
                                           WantedCase{"NoHost", "", "s", "r", 80, 100, false},
                                           WantedCase{"NoSender", "h", "", "r", 80, 100, false},
                                           WantedCase{"NoRecipients", "h", "s", "", 80, 100, false},
                                           WantedCase{"NothingHeld", "h", "s", "r", 80, 0, false}),
                         [](const auto &p) { return std::string(p.param.name); });

TEST_F(EmailTest, PreconditionsWithARecordAreRoutedAtOnce) {
    ASSERT_EQ(init(""), 0u);
    EMAIL_DES fake{};  // no magic
    EMAIL_DES *fake_ptr = &fake;
    EMAIL_DES *none = nullptr;
    const std::string magic =
        "((email_des != (EMAIL_DES *) NULL) && (email_des->magic == EMAIL_DES_MAGIC))";
    const std::string host = "((host != NULL) && (host[0] != '\\0'))";
    struct Case {
        std::string condition;
        std::function<uint32_t(KAVREL_ERR_INFO *)> call;
    };
    const std::vector<Case> cases = {
        {"(email_ctx != NULL)",
         [&](KAVREL_ERR_INFO *ei) { return email_init(ctx_, nullptr, nullptr, ei); }},
        {"(email_ctx != NULL)", [&](KAVREL_ERR_INFO *ei) { return email_free(nullptr, ei); }},
        {"(*email_ctx != NULL)", [&](KAVREL_ERR_INFO *ei) { return email_free(&none, ei); }},
        {magic, [&](KAVREL_ERR_INFO *ei) { return email_free(&fake_ptr, ei); }},
        {host, [&](KAVREL_ERR_INFO *ei) { return email_config(nullptr, nullptr, 25, ei); }},
        {host, [&](KAVREL_ERR_INFO *ei) { return email_config(ctx_->email, "", 25, ei); }},
        {"(email_ctx != NULL)",
         [&](KAVREL_ERR_INFO *ei) { return email_config(nullptr, "h", 25, ei); }},
        {magic, [&](KAVREL_ERR_INFO *ei) { return email_config(&fake, "h", 25, ei); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.condition);
        g_lines.clear();
        KAVREL_ERR_INFO ei;
        errinfo_begin(ctx_, nullptr, &ei);
        EXPECT_EQ(c.call(&ei), STATUS_PROGRAMMING);
        ASSERT_EQ(g_lines.size(), 1u) << "routed before the operation returns";
        EXPECT_EQ(g_lines[0].severity, SEV_ERROR);
        EXPECT_EQ(g_lines[0].number, MSG_PROGRAMMING);
        EXPECT_TRUE(is_assertion(g_lines[0].text, c.condition)) << g_lines[0].text;
        errinfo_route(&ei);
    }
    EXPECT_EQ(fake_ptr, &fake) << "a foreign record is left alone";
    EXPECT_EQ(fake.magic, 0u);

    // email_send holds its message in the record: the routing that called
    // it writes it in its second pass.
    for (EMAIL_DES *e : {static_cast<EMAIL_DES *>(nullptr), &fake}) {
        g_lines.clear();
        KAVREL_ERR_INFO ei;
        errinfo_begin(ctx_, nullptr, &ei);
        EXPECT_EQ(email_send(e, "s", "r", "subject", "body", &ei), STATUS_PROGRAMMING);
        errinfo_route(&ei);
        ASSERT_EQ(texts_of(MSG_PROGRAMMING).size(), 1u);
        EXPECT_TRUE(is_assertion(texts_of(MSG_PROGRAMMING)[0],
                                 e == nullptr ? "(email_ctx != NULL)" : magic));
    }
}

TEST_F(EmailTest, PreconditionsWithoutARecordGoToStandardError) {
    ASSERT_EQ(init(""), 0u);
    EMAIL_DES *out = nullptr;
    EMAIL_DES *e = ctx_->email;
    struct Case {
        std::string condition;
        std::function<uint32_t()> call;
    };
    const std::vector<Case> cases = {
        {"(err_info != NULL)", [&] { return email_init(ctx_, nullptr, &out, nullptr); }},
        {"(err_info != NULL)", [&] { return email_free(&e, nullptr); }},
        {"((host != NULL) && (host[0] != '\\0'))",
         [&] { return email_config(e, nullptr, 25, nullptr); }},
        {"(err_info != NULL)", [&] { return email_config(e, "h", 25, nullptr); }},
        {"(email_ctx != NULL)",
         [&] { return email_send(nullptr, "s", "r", "subject", "body", nullptr); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.condition);
        g_lines.clear();
        testing::internal::CaptureStderr();
        const uint32_t status = c.call();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, STATUS_PROGRAMMING);
        EXPECT_TRUE(g_lines.empty());
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(err.back(), '\n');
        EXPECT_TRUE(is_assertion(err.substr(0, err.size() - 1), c.condition)) << err;
    }
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(e, ctx_->email) << "the notifier is not touched";
}

TEST_F(EmailTest, HostCopyThatCannotBeAllocated) {
    GreetingServer a;
    ASSERT_EQ(init(""), 0u);
    const auto port = static_cast<int16_t>(a.port());
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    kavrel_test_fail_alloc(0, 1);
    const uint32_t status = email_config(ctx_->email, "127.0.0.1", port, &ei);
    kavrel_test_fail_alloc(0, 0);
    EXPECT_EQ(status, static_cast<uint32_t>(MSG_NOMEM));
    EXPECT_EQ(ctx_->email->host, nullptr);
    EXPECT_EQ(a.connections(), 0);
    errinfo_route(&ei);
    EXPECT_EQ(texts_of(MSG_NOMEM),
              std::vector<std::string>{"Failed to allocate 9 bytes for email host."});

    // The record stays usable: the next configuration succeeds.
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

    const std::string no_helo = "Failed to allocate 14 bytes.";
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
        const auto said = [&nomem](const std::string &t) {
            return std::find(nomem.begin(), nomem.end(), t) != nomem.end();
        };
        if (said(no_helo)) {
            helo_failed = true;
            EXPECT_EQ(status, 0u) << "initialisation goes on without a HELO name";
            ASSERT_NE(ctx_, nullptr);
            EXPECT_EQ(ctx_->helo, nullptr);
            EXPECT_EQ(ctx_->email->helo, nullptr);
            EXPECT_STREQ(ctx_->email_sender, "s@example.com");
        }
        if (said(no_notifier)) {
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
