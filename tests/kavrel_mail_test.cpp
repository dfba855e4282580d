// Reports mailed to a real relay (aiosmtpd on loopback, with STARTTLS or
// TLS and a login too) and read back as mail readers read them, the exact
// SMTP dialogue and a relay's misbehaviour against a scripted server, the
// flood control, the e-mail settings re-read at every call, and failures
// of every socket call.

#include <regex>
#include <set>

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

// Dates, message identifiers, times and this machine's name differ from
// run to run.
std::string stable(std::string text) {
    char host[256] = "";
    plat_host_name(host, sizeof host);
    text = replaced(text, std::string("EHLO ") + host + "\r", "EHLO HOST\r");
    text = replaced(text, std::string("@") + host + ">", "@HOST>");
    text = std::regex_replace(text, std::regex("Date: [A-Z][a-z]{2}, [^\n]*"), "Date: DATE");
    text = std::regex_replace(text, std::regex("<-?[0-9]+\\.[0-9a-f]{8}\\.[0-9a-f]{8}@([^>]*)>"),
                              "<ID@$1>");
    return std::regex_replace(
        text, std::regex("(-?\\d+ - )?[A-Z][a-z]{2} [A-Z][a-z]{2} [ \\d]\\d [\\d:]{8} \\d{4}"),
        "TIME");
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

// A report routed with each system call of these kinds failing in turn:
// the status and the lines of each.
std::string each_failing(KAVREL_CTX *ctx, std::initializer_list<i18n::Fault> kinds) {
    std::string text;
    for (i18n::Fault kind : kinds) {
        for (int64_t step = 0;; ++step) {
            const int64_t before = fail(kind, step, 1, ECONNRESET);
            const uint32_t status = route(ctx, {{100, 131240, "report"}});
            const bool hit = fail(kind, 0, 0) > before + step;
            text += std::to_string(static_cast<int>(kind)) + "." + std::to_string(step) + " " +
                    std::to_string(status) + "\n" + take_lines();
            if (!hit) break;
        }
    }
    return text;
}

// Reports mailed through aiosmtpd, read back with Python's email package:
// one mail per failing call, with its labels, cause headings, empty lines
// and subject (in French too), each with its own Message-ID; texts that try
// to end the data or add a recipient or header made harmless.
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
    kavrel_store_prop(ctx_, "email.recipients", " a@x.test,, Équipe d'exploitation <b@x.test>,");
    route(ctx_, {{100, 131240, "Échec de l'envoi"}});
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
    std::string text = take_lines(), decoded = relay.file("decoded");
    std::set<std::string> ids;
    const std::regex id("Message-ID: (.*)");
    for (std::sregex_iterator m(decoded.begin(), decoded.end(), id), end; m != end; ++m)
        ids.insert((*m)[1]);
    EXPECT_EQ(ids.size(), relay.mails().size());
    for (const std::string &mail : relay.mails())  // the envelope
        text += mail.substr(0, mail.find('\0', mail.find('\0') + 1)) + "\n";
    std::replace(text.begin(), text.end(), '\0', '|');
    expect_golden("mailed.txt", stable(normalise(text + decoded, dir_.str())));
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

// The exact dialogue, traced, with and without a HELO name (no 8BITMIME:
// quoted-printable); a recipient list with empty pieces; a relay that stays
// silent, closes, refuses everything, splits its replies over many reads
// (offering 8BITMIME), refuses one recipient of two or both (no DATA
// follows), refuses the data,
// knows no EHLO, answers EHLO with 10,000 bytes, or refuses STARTTLS.
class Dialogue : public ContextTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(Dialogue, WithAScriptedServer) {
    const std::string script = GetParam();
    Relay server(script.substr(0, 1));
    const std::string helo = script[1] == 'h'   ? "email.helo.fqdn=me\n"
                             : script[1] == 'e' ? "email.helo.fqdn=\n"
                             : script[0] == 't' ? "email.smtp.security=starttls\n"
                                                : "";
    write(propfile(), settings(server.port(), helo) + "email.recipients=a@x.test,, b@x.test,\n");
    const uint32_t init = open("", KAVREL_TRACE_PROP);
    set_trace_mask(ctx_, KAVREL_TRACE_PROP);
    // Sends to a server that has closed fail at a moment of the kernel's choosing.
    const uint32_t routed =
        script[0] == 'c' ? 0 : route(ctx_, {{100, 131240, "report, 12: Échec = ok"}});
    kavrel_free(&ctx_);
    const std::string lines =
        replaced(std::to_string(init) + " " + std::to_string(routed) + "\n" + take_lines() +
                     "-- received: " + server.received(script[0] == 'c' ? 1 : 2) + "\n" +
                     (script == "S" ? server.file("decoded") : ""),
                 std::to_string(server.port()), "PORT");
    expect_golden("dialogue/" + script + ".txt", stable(normalise(lines, dir_.str(), true)));
}

INSTANTIATE_TEST_SUITE_P(Scripts, Dialogue,
                         ::testing::Values("S", "Sh", "Se", "q", "c", "r", "m", "x", "n", "d", "b",
                                           "e", "t"),
                         [](const auto &tested) { return std::string(tested.param); });

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
    text += each_failing(ctx_, {i18n::Fault::resolve, i18n::Fault::socket, i18n::Fault::connect,
                                i18n::Fault::wait, i18n::Fault::recv, i18n::Fault::send});
    expect_golden("mail_failures.txt",
                  normalise(replaced(text, std::to_string(a.port()), "PORT"), dir_.str()));
}

// Relays that demand TLS and a login get the report over STARTTLS and over
// TLS from the start; with a wrong CA, a wrong host name, a wrong password,
// no STARTTLS offered, a login asked for in clear, no TLS in the build, or
// any wait, receive or send failing, nothing is sent in clear and 131272
// (or 131275) says why. The password shows nowhere; a file others can read
// warns once per change.
TEST_F(ContextTest, TlsAndLogin) {
    if (!PlatTls::available()) GTEST_SKIP() << "this build has no TLS";
    Relay starttls("starttls"), tls("tls"), plain("relay");
    ASSERT_GT(std::min({starttls.port(), tls.port(), plain.port()}), 0)
        << "the relays did not start";
    kavrel_test_alias("relay.test", "127.0.0.1");
    const std::string login =
                          "email.helo.fqdn=c.test\nemail.max.per.hour=0\nemail.smtp.user=kavrel\n"
                          "email.smtp.password=s3cret pass\nemail.smtp.security=",
                      ca = "\nemail.smtp.tls.ca=" + starttls.path("ca.pem") + "\n";
    const std::pair<int, std::string> cases[] = {
        {starttls.port(), "starttls" + ca},
        {starttls.port(1), "starttls" + ca},  // AUTH LOGIN
        {tls.port(), "tls\nemail.smtp.tls.ca=" + tls.path("ca.pem")},
        {starttls.port(), "starttls\nemail.smtp.tls.ca=" + starttls.path("other-ca.pem")},
        {starttls.port(), "starttls" + ca + "email.smtp.host=relay.test\n"},
        {starttls.port(), "starttls" + ca + "email.smtp.password=wrong\n"},
        {plain.port(), "starttls\n"},
        {plain.port(), "none\n"},
        {tls.port(), "tls\n"},  // a build without TLS
    };
    std::string text, sweep;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        write(propfile(), settings(cases[i].first, login + cases[i].second));
        fs::permissions(propfile(), fs::perms(i == 0 ? 0644 : 0600));
        if (i + 1 == std::size(cases)) fail(i18n::Fault::tls, 0, 100);
        text += "====\n";
        open();
        set_trace_mask(ctx_, i < 2 ? KAVREL_TRACE_PROP : 0);
        route(ctx_, {{100, 131240, "report"}});
        set_trace_mask(ctx_, 0);
        if (i == 0) {  // every wait, receive and send of the session failing in turn
            text += take_lines();
            sweep = each_failing(ctx_, {i18n::Fault::wait, i18n::Fault::recv, i18n::Fault::send});
        }
        set_trace_mask(ctx_, i < 2 ? KAVREL_TRACE_PROP : 0);  // the properties freed
        kavrel_free(&ctx_);
        text += take_lines();
    }
    // How many reads TLS makes depends on how the bytes arrive: the sweep's
    // steps are checked by their form, and every one that succeeded mailed.
    const std::regex form(
        "\\d+\\.\\d+ (0|131268|131272)|100 131240 report|100 131268 Failed to connect "
        ".*errno=104 Connection reset by peer|100 131272 The SMTP host 127.0.0.1 "
        "refused the report at .+: Connection reset by peer");
    std::size_t delivered = 3, unsure = 0;  // the relay's answer to the data lost
    std::istringstream lines(sweep);
    for (std::string line; std::getline(lines, line); delivered += line.ends_with(" 0")) {
        EXPECT_TRUE(std::regex_match(line, form)) << line;
        unsure += line.find(" at end of data: ") != std::string::npos;
    }
    EXPECT_EQ((text + sweep).find("s3cret"), std::string::npos);
    const std::size_t mails = starttls.mails().size() + tls.mails().size() + plain.mails().size();
    EXPECT_GE(mails, delivered);
    EXPECT_LE(mails, delivered + unsure);
    const std::string first = starttls.file("decoded");
    text += first.substr(0, first.find("====\n") + 5) + tls.file("decoded");
    for (const Relay *r : {&starttls, &tls, &plain}) text = replaced(text, r->path(""), "SPOOL/");
    for (int port : {starttls.port(), starttls.port(1), tls.port(), plain.port()})
        text = replaced(text, std::to_string(port), "PORT");
    expect_golden("tls.txt", stable(normalise(text, dir_.str(), true)));
}

// At most email.max.per.hour reports an hour go to one relay, whichever
// context mails them: the first one held back is reported with the time the
// hour ends, and the first mail after it, on a simulated clock, tells how
// many were not mailed.
TEST_F(ContextTest, FloodControlOverASimulatedHour) {
    Relay relay("relay");
    const std::time_t now = std::time(nullptr);
    kavrel_test_clock(10 - now % 60);  // mid-minute: no minute ends during the test
    ASSERT_EQ(open(settings(relay.port(), "email.helo.fqdn=c.test\nemail.max.per.hour=2\n")), 0u);
    KAVREL_CTX *other = nullptr;
    ASSERT_EQ(kavrel_init(&other, "Prod", "p", dir_.str().c_str(), nullptr, nullptr, "en_US",
                          nullptr, capture),
              0u);
    for (KAVREL_CTX *ctx : {ctx_, ctx_, other, other, ctx_}) route(ctx, {{100, 131240, "report"}});
    const std::time_t until = now - now % 60 + 3600;
    char shown[64];
    std::strftime(shown, sizeof shown, "until %a %b %d %H:%M:%S %Y", std::localtime(&until));
    const std::string lines = take_lines();
    EXPECT_NE(lines.find(shown), std::string::npos) << "the limit ends an hour after";
    kavrel_test_clock(10 - now % 60 + 3600);
    route(other, {{100, 131240, "an hour later"}});
    kavrel_free(&other);
    ASSERT_EQ(relay.mails().size(), 3u);
    expect_golden("flood.txt", stable(replaced(lines + take_lines() + relay.file("decoded"),
                                               std::to_string(relay.port()), "PORT")));
}

}  // namespace
