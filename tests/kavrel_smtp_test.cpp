// Delivery of reports by mail, against real peers on the loopback interface:
// an SMTP relay (aiosmtpd) that keeps every mail it is given, and the
// scripted server for what a relay rarely does (silence, closing, refusing
// everything, replies in parts or longer than the reply buffer).
#include <netdb.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "email/email.h"
#include "kavrel_mail_fixture.h"

extern char **environ;

using namespace kavrel;
using namespace kavrel_test;
using namespace std::string_literals;

namespace {

const char kMailProps[] =
    "email.sender=s@example.com\nemail.recipients=a@example.com,b@example.com\n"
    "email.severity=ERROR\n";

// ---- the relay ---------------------------------------------------------------

// Adds each mail to the file "mails": the envelope's sender, its recipients
// joined with ",", and the data as received (dot-stuffing undone), NUL
// between, \1 after. A mail is kept before its "250" goes out.
const char kRelayScript[] = R"PY(
import asyncio, os, sys
from aiosmtpd.smtp import SMTP
spool = sys.argv[1]
class Keeper:
    async def handle_DATA(self, server, session, envelope):
        with open(spool + '/mails', 'ab') as f:
            f.write(b'\0'.join([envelope.mail_from.encode(), ','.join(envelope.rcpt_tos).encode(),
                                envelope.original_content]) + b'\1')
        return '250 OK'
async def main():
    server = await asyncio.get_running_loop().create_server(
        lambda: SMTP(Keeper(), hostname='relay.test'), '127.0.0.1', 0)
    open(spool + '/mails', 'wb').close()
    with open(spool + '/tmp', 'w') as f:
        f.write(str(server.sockets[0].getsockname()[1]))
    os.rename(spool + '/tmp', spool + '/port')
    await asyncio.Event().wait()
asyncio.run(main())
)PY";

// The system's aiosmtpd on a free loopback port, for the life of a test.
class Relay {
  public:
    Relay() {
        std::string script = dir_.write("relay.py", kRelayScript).string(), spool = spool_.str();
        char python[] = "/usr/bin/python3", isolated[] = "-I";
        char *argv[] = {python, isolated, script.data(), spool.data(), nullptr};
        if (::posix_spawn(&pid_, python, nullptr, nullptr, argv, environ) != 0) pid_ = -1;
        for (const auto start = Clock::now(); pid_ > 0 && seconds_since(start) < 15;) {
            if (std::filesystem::exists(spool + "/port")) {
                port_ = std::stoi(slurp(spool + "/port"));
                break;
            }
            if (int status = 0; ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;  // it ended
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Relay() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }

    int port() const { return port_; }

    // Every mail received so far, in order, as kept.
    std::vector<std::string> mails() const {
        std::istringstream in(slurp(spool_.str() + "/mails"));
        std::vector<std::string> out;
        for (std::string mail; std::getline(in, mail, '\1');) out.push_back(mail);
        return out;
    }

  private:
    TempDir dir_, spool_;
    pid_t pid_ = -1;
    int port_ = 0;
};

class RelayTest : public MailFixture {
  protected:
    void SetUp() override {
        ASSERT_GT(relay_.port(), 0) << "aiosmtpd did not start";
        ASSERT_EQ(init(smtp_props(relay_.port()) + "email.helo.fqdn=client.test\n" + kMailProps),
                  0u);
        EXPECT_TRUE(messages().empty());
        EXPECT_TRUE(relay_.mails().empty()) << "the test connection mails nothing";
        g_lines.clear();
    }

    // A mail of this context with the given subject and body (LF line ends
    // made CR LF), as the relay keeps it.
    static std::string mail(const std::string &subject, const std::string &body) {
        return "s@example.com"s + '\0' + "a@example.com,b@example.com" + '\0' +
               "To:a@example.com,b@example.com\r\nSubject:" + subject + "\r\n" +
               std::regex_replace(
                   "Content-type: text/plain; charset=UTF-8\n"
                   "Content-transfer-encoding: 8bit\n" +
                       body + "\n",
                   std::regex("\r\n|\r|\n"), "\r\n");
    }

    Relay relay_;
};

TEST_F(RelayTest, FailedCallMailsItsReportOnce) {
    const auto start = Clock::now();
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), STATUS_PROGRAMMING);
    EXPECT_LT(seconds_since(start), 0.9) << "a local relay answers at once";
    const std::vector<Line> got = messages();
    ASSERT_EQ(got.size(), 1u) << "the product still gets its message";
    EXPECT_EQ(got[0].number, MSG_PROGRAMMING);
    const std::string report = "Error 1000000: " + got[0].text;
    EXPECT_EQ(relay_.mails(), std::vector{mail("Orvane Prod Inst: " + report, report + "\n\n")});

    // A call that raises nothing mails nothing; without an instance the
    // subject leaves it out.
    touch();
    KAVREL_CTX *plain = nullptr;
    ASSERT_EQ(open(&plain, nullptr), 0u);
    EXPECT_EQ(kavrel_set_attr(plain, 4242, 1), STATUS_PROGRAMMING);
    kavrel_free(&plain);
    ASSERT_EQ(relay_.mails().size(), 2u);
    EXPECT_EQ(relay_.mails()[1], mail("Orvane Prod: " + report, report + "\n\n"));
}

// Without room for the body the report is written, the failed allocation
// is reported, and nothing is mailed.
TEST_F(RelayTest, BodyThatCannotBeAllocated) {
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    errinfo_add(&ei, SEV_ERROR, 131240, "%s", "report");
    kavrel_test_fail_alloc(0, 1);
    EXPECT_EQ(errinfo_route(&ei), 0u);
    kavrel_test_fail_alloc(0, 0);
    const std::vector<Line> got = messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].number, MSG_PROGRAMMING);
    EXPECT_TRUE(got[0].text.starts_with("Failed to allocate ")) << got[0].text;
    EXPECT_TRUE(got[0].text.ends_with(" bytes of memory.")) << got[0].text;
    EXPECT_EQ(got[1], (Line{SEV_ERROR, 131240, "report"}));
    EXPECT_TRUE(relay_.mails().empty());
}

struct Add {
    int32_t severity, number;
    const char *text;
    bool new_entry = false;
};

// Labels, the cause heading and the empty lines of mailed reports, the entry
// the subject is taken from, and texts that try to end the data or add a
// recipient or header; one mail per case.
TEST_F(RelayTest, BodyShapes) {
    const struct {
        const char *name;
        std::vector<Add> adds;
        const char *subject;  // after "Orvane Prod Inst: "
        const char *body;     // after the two header lines
    } cases[] = {
        {"cause heading, then a numbered detail",
         {{100, 131235, "Entry"}, {80, 131200, "Cause"}, {80, 131234, "Detail"}},
         "Error 131235: Entry",
         "Error 131235: Entry\n\nPossible cause:\nWarning 131200: Cause\n\n"
         "Warning 131234: Detail\n\n\n\n"},
        {"131227 is a cause, 131228 is not; severity 60 has no label",
         {{100, 131240, "E"}, {80, 131228, "not a cause"}, {60, 131227, "a cause"}},
         "Error 131240: E",
         "Error 131240: E\nWarning 131228: not a cause\n\nPossible cause:\na cause\n\n\n\n"},
        {"number 0 is a cause without a label",
         {{100, 0, "zero entry"}, {100, 0, "zero detail"}},
         "Error 0: zero entry",
         "Error 0: zero entry\n\nPossible cause:\nzero detail\n\n\n\n"},
        {"a repeated number is labelled once",
         {{100, 131240, "E"}, {80, 131250, "first"}, {80, 131250, "second"}, {80, 131251, "third"}},
         "Error 131240: E",
         "Error 131240: E\nWarning 131250: first\nsecond\nWarning 131251: third\n\n"},
        {"the subject is the first entry of the highest severity",
         {{80, 131234, "warn first"},
          {100, 131236, "first error", true},
          {100, 131237, "second error", true}},
         "Error 131236: first error",
         "Warning 131234: warn first\n\nError 131236: first error\n\n"
         "Error 131237: second error\n\n"},
        {"the heading once per entry that has causes",
         {{100, 131240, "one"},
          {80, 5, "c1"},
          {80, 131250, "n1"},
          {80, 6, "c2"},
          {100, 131241, "two", true},
          {80, 131250, "n2"}},
         "Error 131240: one",
         "Error 131240: one\n\nPossible cause:\nWarning 5: c1\n\nWarning 131250: n1\n"
         "Warning 6: c2\n\n\n\nError 131241: two\nWarning 131250: n2\n\n"},
        {"texts that try to end the data, add a recipient or a header",
         {{100, 131240, "before\r\n.\r\nRCPT TO:<x@evil.example>\r\nafter"},
          {60, 0, ".leading dot\n.\nBcc: y@evil.example\rcr only"}},
         "Error 131240: before  .  RCPT TO:<x@evil.example>  after",
         "Error 131240: before\n.\nRCPT TO:<x@evil.example>\nafter\n\nPossible cause:\n"
         ".leading dot\n.\nBcc: y@evil.example\ncr only\n\n\n\n"},
    };
    std::size_t count = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        g_lines.clear();
        KAVREL_ERR_INFO ei;
        errinfo_begin(ctx_, nullptr, &ei);
        std::vector<Line> want;  // every message reaches the handler as it was added
        for (const Add &a : c.adds) {
            if (a.new_entry) ei.flags |= ERRINFO_NEW_ENTRY;
            errinfo_add(&ei, a.severity, a.number, "%s", a.text);
            want.push_back({a.severity, a.number, a.text});
        }
        EXPECT_EQ(errinfo_route(&ei), 0u);
        EXPECT_EQ(messages(), want);
        const auto mails = relay_.mails();
        ASSERT_EQ(mails.size(), ++count) << "one mail per routing";
        EXPECT_EQ(mails.back(), mail(std::string("Orvane Prod Inst: ") + c.subject, c.body));
    }
}

// ---- the scripted server ----------------------------------------------------------

class ScriptedTest : public MailFixture {
  protected:
    uint32_t init_to(int port, const std::string &more = "", uint32_t trace = KAVREL_TRACE_PROP,
                     const std::string &host = "127.0.0.1") {
        return init(smtp_props(port, host) + kMailProps + more, trace);
    }

    uint32_t send(const char *sender, const char *recipients, const char *subject,
                  const char *body) {
        KAVREL_ERR_INFO ei;
        errinfo_begin(ctx_, nullptr, &ei);
        const uint32_t status = email_send(ctx_->email, sender, recipients, subject, body, &ei);
        errinfo_route(&ei);
        return status;
    }
};

TEST_F(ScriptedTest, ExactDialogue) {
    ScriptedServer server;
    ASSERT_EQ(init_to(server.port(), "email.helo.fqdn=client.test\n"), 0u);
    ASSERT_EQ(server.ended(1), std::vector<std::string>{""}) << "the test connection sends nothing";
    g_lines.clear();
    // Every piece split at each ",", empty ones too; the body's line ends
    // all become CR LF and its lines that begin with "." get a second one.
    EXPECT_EQ(
        send("s@example.com", "a@x,,b@y,", "Subj", ".first\nplain\r\nbare\rcr\n.\n..two\n\nlast"),
        0u);
    EXPECT_EQ(server.ended(2).back(),
              "HELO client.test\r\nMAIL FROM: s@example.com\r\n"
              "RCPT TO: a@x\r\nRCPT TO: \r\nRCPT TO: b@y\r\nRCPT TO: \r\nDATA\r\n"
              "To:a@x,,b@y,\r\nSubject:Subj\r\n"
              "..first\r\nplain\r\nbare\r\ncr\r\n..\r\n...two\r\n\r\nlast\r\n.\r\nQUIT\r\n");
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(ctx_->email->socket, -1);
    // Each awaited reply is traced: greeting, HELO, MAIL, four RCPT, DATA,
    // "." and QUIT.
    const std::vector<std::string> received = trace_of("SMTP RECV: ");
    ASSERT_EQ(received.size(), 10u);
    EXPECT_EQ(received[8], "SMTP RECV: 250 queued\r\n\n");
    EXPECT_EQ(trace_of("SMTP SEND: ").front(), "SMTP SEND: 'HELO ' len=5\n");
}

// Without a HELO name the dialogue begins with MAIL; an empty one is sent.
TEST_F(ScriptedTest, HeloLine) {
    for (const auto &[props, start] :
         {std::pair{"", "MAIL FROM: s@x\r\nRCPT TO: r@x"},
          std::pair{"email.helo.fqdn=\n", "HELO \r\nMAIL FROM: s@x"}}) {
        SCOPED_TRACE(props);
        ScriptedServer server;
        ASSERT_EQ(init_to(server.port(), props), 0u);
        EXPECT_EQ(send("s@x", "r@x", "S", "B"), 0u);
        EXPECT_TRUE(server.ended(2).back().starts_with(start)) << server.ended(2).back();
    }
}

// A line end inside the HELO name, the sender, a recipient or the subject
// goes out as a space: none of them can start a command or a header.
TEST_F(ScriptedTest, FieldsAreSentOnOneLine) {
    ScriptedServer server;
    ASSERT_EQ(init_to(server.port()), 0u);
    char helo[] = "me\r\nRSET";
    ctx_->email->helo = helo;
    EXPECT_EQ(send("s@x\r\nRCPT TO: evil@x", "a@x\nDATA,b@x\r", "Subj\r\nBcc: evil@x", "body"), 0u);
    ctx_->email->helo = ctx_->helo;
    EXPECT_EQ(server.ended(2).back(),
              "HELO me  RSET\r\nMAIL FROM: s@x  RCPT TO: evil@x\r\n"
              "RCPT TO: a@x DATA\r\nRCPT TO: b@x \r\nDATA\r\n"
              "To:a@x DATA,b@x \r\nSubject:Subj  Bcc: evil@x\r\nbody\r\n.\r\nQUIT\r\n");
}

// A server that never greets (a second's wait runs out) and a refused
// connection: the test connection's failure is reported, and so is that of
// the delivery of the mail that reports it; a report's routing writes the
// report, then the failed delivery, and returns the failure.
TEST_F(ScriptedTest, ConnectionFailures) {
    ScriptedServer silent(Script::Silent);
    for (const auto &[port, error, wait] : {std::tuple{silent.port(), ETIMEDOUT, 1.0},
                                            std::tuple{closed_port(), ECONNREFUSED, 0.0}}) {
        SCOPED_TRACE(std::strerror(error));
        auto start = Clock::now();
        ASSERT_EQ(init_to(port), 0u);
        EXPECT_GE(seconds_since(start), 2 * wait - 0.2);
        EXPECT_LT(seconds_since(start), 2 * wait + 1.5);
        const Line failure{SEV_ERROR, 131268,
                           fmt("Failed to connect to SMTP host 127.0.0.1 on port %d. errno=%d %s",
                               port, error, std::strerror(error))};
        EXPECT_EQ(messages(), (std::vector{failure, failure}));
        g_lines.clear();
        start = Clock::now();
        EXPECT_EQ(route_report(), 131268u);
        EXPECT_GE(seconds_since(start), wait - 0.1);
        EXPECT_LT(seconds_since(start), wait + 0.9);
        EXPECT_EQ(messages(), (std::vector<Line>{{SEV_ERROR, 131240, "report"}, failure}));
        EXPECT_TRUE(trace_of("SMTP SEND").empty());
        EXPECT_EQ(trace_of("SMTP recv len: "),
                  error == ETIMEDOUT ? std::vector<std::string>{}
                                     : std::vector{fmt("SMTP recv len: -1, errno: %d %s\n", error,
                                                       std::strerror(error))});
        EXPECT_EQ(ctx_->email->socket, -1);
    }
}

TEST_F(ScriptedTest, CloseInsteadOfGreeting) {
    ScriptedServer server(Script::Close);
    ASSERT_EQ(init_to(server.port(), "email.helo.fqdn=me.example\n"), 0u);
    // The connection step succeeds with an empty greeting.
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(trace_of("SMTP RECV: "), std::vector<std::string>{"SMTP RECV: \n"});
    g_lines.clear();
    const auto start = Clock::now();
    EXPECT_EQ(route_report(), 0u) << "a connection was made";
    EXPECT_LT(seconds_since(start), 0.9);
    ASSERT_EQ(messages().size(), 1u) << "the dialogue's failure is only traced";
    EXPECT_EQ(server.ended(2).size(), 2u);
    EXPECT_EQ(ctx_->email->socket, -1);
}

TEST_F(ScriptedTest, RejectionOfEveryCommandStillSucceeds) {
    ScriptedServer server(Script::Reject);
    ASSERT_EQ(init_to(server.port(), "email.helo.fqdn=me.example\n"), 0u);
    g_lines.clear();
    EXPECT_EQ(route_report(), 0u);
    EXPECT_EQ(messages().size(), 1u);
    // HELO, MAIL, two RCPT, DATA, "." and QUIT: each rejected, each sent.
    EXPECT_EQ(trace_of("SMTP RECV: 550 no\r\n").size(), 7u);
    EXPECT_TRUE(trace_of("SMTP FAIL").empty());
    EXPECT_TRUE(server.ended(2).back().ends_with("\r\n.\r\nQUIT\r\n"));
}

// One receive per reply, of at most 256 bytes: what is left of a reply in
// two parts or of a longer one is read as the next reply, and the dialogue
// goes on without a wait running out.
TEST_F(ScriptedTest, ReplyInPartsOrLongerThanTheBuffer) {
    const struct {
        Script script;
        std::string first, second;  // the first reply, the start of the second
    } cases[] = {{Script::Split, "220 scr", "ipted\r\n"},
                 {Script::Long, "220 " + std::string(252, 'x'), std::string(142, 'x') + "\r\n"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        ScriptedServer server(c.script);
        ASSERT_EQ(init_to(server.port(), "email.helo.fqdn=me.example\n", 0), 0u);
        server.ended(1);  // a split greeting's second part goes to a closed connection
        ctx_->trace = KAVREL_TRACE_PROP;
        const auto start = Clock::now();
        EXPECT_EQ(route_report(), 0u);
        EXPECT_LT(seconds_since(start), 0.95);
        EXPECT_EQ(messages().size(), 1u);
        const std::vector<std::string> received = trace_of("SMTP RECV: ");
        ASSERT_GE(received.size(), 2u);
        EXPECT_EQ(received[0], "SMTP RECV: " + c.first + "\n");
        EXPECT_TRUE(received[1].starts_with("SMTP RECV: " + c.second)) << received[1];
        for (const std::string &r : received) EXPECT_LE(r.size(), 11u + 256 + 1) << r;
        EXPECT_TRUE(trace_of("SMTP FAIL").empty());
        // The whole dialogue is sent. (The server may not see all of it:
        // replies still unread when the connection is closed reset it.)
        EXPECT_EQ(trace_of("SMTP SEND: ").back(), "SMTP SEND: 'QUIT\r\n' len=6\n");
        EXPECT_TRUE(
            server.ended(2).back().starts_with("HELO me.example\r\nMAIL FROM: s@example.com"));
    }
}

TEST_F(ScriptedTest, UnresolvableHost) {
    ASSERT_EQ(init_to(25, "", KAVREL_TRACE_PROP, "no-such-host.invalid"), 0u);
    g_lines.clear();
    const uint32_t status = route_report();
    const std::vector<Line> got = messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].number, 0);
    const std::string head =
        "Failed to get address information for email delivery to no-such-host.invalid. Error=";
    const int code = std::atoi(got[1].text.c_str() + head.size());
    EXPECT_NE(code, 0);
    const std::string error = std::to_string(code) + " " + ::gai_strerror(code);
    EXPECT_EQ(got[1].text, head + error);
    EXPECT_EQ(status, static_cast<uint32_t>(code)) << "the resolver's own code";
    EXPECT_EQ(trace_of("SMTP getaddrinfo"),
              std::vector<std::string>{
                  "SMTP getaddrinfo to no-such-host.invalid@25 FAILED: error: " + error + "\n"});
}

}  // namespace
