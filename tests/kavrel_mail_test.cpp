// Reports mailed to a real relay (aiosmtpd on loopback), the exact SMTP
// dialogue and a relay's misbehaviour against a scripted server, the
// e-mail settings re-read at every call, and failures of every socket call.
#include "diag/route.h"
#include "email/email.h"
#include "kavrel_fixture.h"

using namespace kavrel;
using namespace test;

namespace {

std::string settings(int port, const std::string &more = "") {
    return "email.smtp.host=127.0.0.1\nemail.smtp.port=" + std::to_string(port) +
           "\nemail.sender=s@x.test\nemail.recipients=a@x.test,b@x.test\nemail.severity=ERROR\n" +
           more;
}

// Routes a record of these messages: severity, number, text; '+' before a
// text opens a new entry.
uint32_t route(KAVREL_CTX *ctx, std::vector<std::tuple<int32_t, int32_t, std::string>> adds) {
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx, nullptr, &ei);
    for (auto &[severity, number, text] : adds) {
        if (text[0] == '+') ei.flags |= ERRINFO_NEW_ENTRY, text.erase(0, 1);
        errinfo_add(&ei, severity, number, "%s", text.c_str());
    }
    return errinfo_route(&ei);
}

// Reports mailed through aiosmtpd: one mail per failing call, with its
// labels, cause headings, empty lines and subject, texts that try to end
// the data or add a recipient or header made harmless.
TEST_F(ContextTest, ReportsMailedToARelay) {
    Relay relay("relay");
    ASSERT_GT(relay.port(), 0) << "aiosmtpd did not start";
    ASSERT_EQ(open(settings(relay.port(), "email.helo.fqdn=client.test\n")), 0u);
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), KAVREL_E_PROGRAMMING);
    route(ctx_, {{100, 131235, "Entry"}, {80, 131200, "Cause"}, {80, 131234, "Detail"}});
    route(ctx_, {{100, 131240, "E"}, {80, 131228, "not a cause"}, {60, 131227, "a cause"}});
    route(ctx_, {{100, 0, "zero entry"}, {100, 0, "zero detail"}});
    route(
        ctx_,
        {{100, 131240, "E"}, {80, 131250, "first"}, {80, 131250, "again"}, {80, 131251, "third"}});
    route(ctx_, {{80, 131234, "warning"}, {100, 131236, "+first error"}, {100, 131237, "+second"}});
    route(ctx_, {{100, 131240, "one"},
                 {80, 5, "c1"},
                 {80, 131250, "n1"},
                 {80, 6, "c2"},
                 {100, 131241, "+two"},
                 {80, 131250, "n2"}});
    route(ctx_, {{100, 131240, "before\r\n.\r\nRCPT TO:<x@evil.test>\r\nafter"},
                 {60, 0, ".leading dot\n.\nBcc: y@evil.test\rcr only"}});
    route(ctx_, {{80, 131234, "below the threshold"}});
    fail(i18n::Fault::alloc, 1, 1);  // the body
    route(ctx_, {{100, 131240, "not mailed: no room for the body"}});
    fail(i18n::Fault::alloc, 0, 0);
    kavrel_free(&ctx_);
    KAVREL_CTX *plain = nullptr;
    ASSERT_EQ(kavrel_init(&plain, "Prod", nullptr, dir_.str().c_str(), nullptr, propfile().c_str(),
                          "en_US", nullptr, capture),
              0u);
    route(plain, {{100, 131240, "no instance"}});
    kavrel_free(&plain);
    std::string text = take_lines();
    for (const std::string &mail : relay.mails()) text += "----\n" + mail + "\n";
    std::replace(text.begin(), text.end(), '\0', '|');
    expect_golden("mailed.txt", normalise(text, dir_.str()));
}

// A relay behind several addresses: one that refuses and one that stays
// silent are passed over, each named in a 131268 that reaches the handler
// in the same call; the mail keeps its subject; the record keeps nothing.
TEST_F(ContextTest, RelayBehindSeveralAddresses) {
    Relay relay("relay");
    kavrel_test_alias("relay.test", "127.0.0.2 127.0.0.1 127.0.0.1");
    ASSERT_EQ(open(settings(relay.port(), "email.smtp.host=relay.test\nemail.helo.fqdn=c.test\n")),
              0u);
    take_lines();
    const uint32_t blocks = ctx_->memory_index.count;
    fail(i18n::Fault::wait, 1, 1, ETIMEDOUT);  // the second address is silent
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), KAVREL_E_PROGRAMMING);
    kavrel_test_alias("relay.test", nullptr);
    EXPECT_EQ(ctx_->memory_index.count, blocks);
    ASSERT_EQ(relay.mails().size(), 2u);  // the test connection's refusal, the failed call
    std::string text = take_lines(), mail = relay.mails().back();
    text += mail.substr(mail.find("Subject:"),
                        mail.find('\n', mail.find("Subject:")) - mail.find("Subject:") + 1);
    expect_golden("relay_addresses.txt",
                  normalise(replaced(text, std::to_string(relay.port()), "PORT")));
}

// The exact dialogue, traced, with and without a HELO name; a recipient
// list with empty pieces; a relay that stays silent, closes or refuses.
TEST_F(ContextTest, DialogueWithAScriptedServer) {
    std::string text;
    for (const char *script : {"S", "Sh", "Se", "q", "c", "r"}) {
        Relay server(std::string(1, script[0]));
        const std::string helo = script[1] == 'h'   ? "email.helo.fqdn=me\n"
                                 : script[1] == 'e' ? "email.helo.fqdn=\n"
                                                    : "";
        write(propfile(),
              settings(server.port(), helo) + "email.recipients=a@x.test,, b@x.test,\n");
        const uint32_t init = open("", KAVREL_TRACE_PROP);
        set_trace_mask(ctx_, KAVREL_TRACE_PROP);
        // Sends to a server that has closed fail at a moment of the kernel's choosing.
        const uint32_t routed = script[0] == 'c' ? 0 : route(ctx_, {{100, 131240, "report"}});
        kavrel_free(&ctx_);
        const std::string lines =
            replaced(std::to_string(init) + " " + std::to_string(routed) + "\n" + take_lines() +
                         "-- received: " + server.received(script[0] == 'c' ? 1 : 2) + "\n",
                     std::to_string(server.port()), "PORT");
        text += std::string("==== ") + script + "\n" + normalise(lines, dir_.str(), true);
    }
    expect_golden("dialogue.txt", text);
}

// The settings are read again at every call: a changed host or port is
// proved with one test connection, an unchanged one with none, and none at
// all while mailing is off; a port where nothing listens, and every socket call failing in turn.
TEST_F(ContextTest, SettingsAndConnectionFailures) {
    Relay a("S"), b("S");
    ASSERT_EQ(open(settings(a.port(), "email.severity=NONE\n")), 0u);
    const auto touch = [this] {
        uint32_t value = 0;
        kavrel_get_attr(ctx_, KAVREL_A_TRACE, &value);
    };
    EXPECT_EQ(a.received(0), "");
    kavrel_store_prop(ctx_, "email.severity", "ERROR");
    touch();
    EXPECT_EQ(a.received(1), "|#");
    kavrel_store_prop(ctx_, "email.smtp.port", std::to_string(b.port()).c_str());
    touch();
    EXPECT_EQ(a.received(1) + b.received(1), "|#|#");
    std::string text = take_lines();
    kavrel_store_prop(ctx_, "email.smtp.port", "1");
    text += take_lines();
    kavrel_store_prop(ctx_, "email.smtp.port", std::to_string(a.port()).c_str());
    for (i18n::Fault kind : {i18n::Fault::resolve, i18n::Fault::socket, i18n::Fault::connect,
                             i18n::Fault::wait, i18n::Fault::recv, i18n::Fault::send}) {
        for (int64_t step = 0;; ++step) {
            const int64_t before = fail(kind, step, 1, ECONNRESET);
            const uint32_t status = route(ctx_, {{100, 131240, "report"}});
            const bool hit = fail(kind, 0, 0) > before + step;
            text += std::to_string(static_cast<int>(kind)) + "." + std::to_string(step) + " " +
                    std::to_string(status) + "\n" + take_lines();
            if (!hit) break;
        }
    }
    expect_golden("mail_failures.txt",
                  normalise(replaced(text, std::to_string(a.port()), "PORT"), dir_.str()));
}

}  // namespace
