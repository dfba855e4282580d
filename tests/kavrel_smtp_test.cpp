// Delivery of reports by mail, against real peers on the loopback interface:
// an SMTP relay (aiosmtpd) that keeps every mail it is given, and a scripted
// server of our own for what a relay rarely does (silence, closing, refusing
// everything, replies in parts or longer than the reply buffer).
#include <netdb.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "email/email.h"
#include "kavrel_mail_fixture.h"

extern char **environ;

using namespace kavrel;
using namespace kavrel_test;
using Clock = std::chrono::steady_clock;

namespace {

// LF, CR and CR LF line ends all made CR LF.
std::string crlf(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            out += "\r\n";
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

// True when every CR is followed by LF and every LF follows a CR.
bool only_crlf(const std::string &text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) return false;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) return false;
    }
    return true;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string read_file(const std::filesystem::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const char kHeader[] = "Content-type: text/plain; charset=UTF-8\nContent-transfer-encoding: 8bit\n";

// ---- the relay ---------------------------------------------------------------

// Keeps the envelope, the data as received (dot-stuffing undone) and the
// header fields as a standard mail parser reads them, one file each.
const char kRelayScript[] = R"PY(
import asyncio, email, email.policy, os, sys
from aiosmtpd.smtp import SMTP

spool = sys.argv[1]

def put(name, data):
    tmp = os.path.join(spool, name + '.tmp')
    with open(tmp, 'wb') as f:
        f.write(data)
    os.rename(tmp, os.path.join(spool, name))

class Keeper:
    def __init__(self):
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        n = self.count
        self.count += 1
        raw = envelope.original_content
        parsed = email.message_from_bytes(raw, policy=email.policy.compat32)
        put(f'{n}.from', envelope.mail_from.encode())
        put(f'{n}.rcpt', ''.join(r + '\n' for r in envelope.rcpt_tos).encode())
        put(f'{n}.raw', raw)
        put(f'{n}.fields', ''.join(k + '\n' for k in parsed.keys()).encode())
        put(f'{n}.to', str(parsed['To']).encode())
        put(f'{n}.subject', str(parsed['Subject']).encode())
        put(f'{n}.done', b'')
        return '250 OK'

async def main():
    keeper = Keeper()
    loop = asyncio.get_running_loop()
    server = await loop.create_server(
        lambda: SMTP(keeper, hostname='relay.test'), '127.0.0.1', 0)
    put('port', str(server.sockets[0].getsockname()[1]).encode())
    await asyncio.Event().wait()

asyncio.run(main())
)PY";

struct Mail {
    std::string from;
    std::vector<std::string> rcpt;
    std::string raw;
    std::vector<std::string> fields;
    std::string to, subject;
};

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

// The system's aiosmtpd on a free loopback port, for the life of a test.
class Relay {
  public:
    Relay() {
        const auto script = dir_.write("relay.py", kRelayScript);
        spool_ = dir_.path() / "spool";
        std::filesystem::create_directory(spool_);
        const std::string script_path = script.string(), spool_path = spool_.string();
        char python[] = "/usr/bin/python3", isolated[] = "-I";
        char *argv[] = {python, isolated, const_cast<char *>(script_path.c_str()),
                        const_cast<char *>(spool_path.c_str()), nullptr};
        if (::posix_spawn(&pid_, python, nullptr, nullptr, argv, environ) != 0) pid_ = -1;
        const auto start = Clock::now();
        while (pid_ > 0 && seconds_since(start) < 15) {
            if (std::filesystem::exists(spool_ / "port")) {
                port_ = std::stoi(read_file(spool_ / "port"));
                break;
            }
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;  // it ended before it listened
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Relay() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
    }
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    int port() const { return port_; }

    // Every mail received so far, in order; each is checked for its line
    // ends on the way.
    std::vector<Mail> mails() const {
        std::vector<Mail> out;
        for (int n = 0; std::filesystem::exists(spool_ / (std::to_string(n) + ".done")); ++n) {
            const auto f = [&](const char *kind) {
                return read_file(spool_ / (std::to_string(n) + "." + kind));
            };
            Mail m{f("from"), lines_of(f("rcpt")), f("raw"), lines_of(f("fields")),
                   f("to"),   f("subject")};
            EXPECT_TRUE(only_crlf(m.raw)) << m.raw;
            out.push_back(m);
        }
        return out;
    }

  private:
    TempDir dir_;
    std::filesystem::path spool_;
    pid_t pid_ = -1;
    int port_ = 0;
};

const char kSender[] = "alerts@example.com";
const char kRecipients[] = "a@example.com,b@example.com";

class RelayTest : public MailFixture {
  protected:
    void SetUp() override {
        MailFixture::SetUp();
        ASSERT_GT(relay_.port(), 0) << "aiosmtpd did not start";
        ASSERT_EQ(
            init("email.smtp.host=127.0.0.1\nemail.smtp.port=" + std::to_string(relay_.port()) +
                 "\nemail.helo.fqdn=client.test\nemail.sender=" + kSender +
                 "\nemail.recipients=" + kRecipients + "\nemail.severity=ERROR\n"),
            0u);
        EXPECT_TRUE(messages().empty());
        EXPECT_TRUE(relay_.mails().empty()) << "the test connection mails nothing";
        g_lines.clear();
    }

    // The data of a mail of this context with the given subject and body.
    static std::string data(const std::string &subject, const std::string &body) {
        return std::string("To:") + kRecipients + "\r\nSubject:" + subject + "\r\n" +
               crlf(kHeader + body) + "\r\n";
    }

    Relay relay_;
};

TEST_F(RelayTest, FailedCallMailsItsReportOnce) {
    const auto start = Clock::now();
    EXPECT_EQ(kavrel_set_attr(ctx_, 4242, 1), STATUS_PROGRAMMING);
    // A local relay answers at once: no one-second wait is run out.
    EXPECT_LT(seconds_since(start), 0.9);
    // The product still gets its message.
    const std::vector<Line> got = messages();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].number, MSG_PROGRAMMING);
    const std::string text = got[0].text;

    std::vector<Mail> mails = relay_.mails();
    ASSERT_EQ(mails.size(), 1u);
    const Mail &m = mails[0];
    EXPECT_EQ(m.from, kSender);
    EXPECT_EQ(m.rcpt, (std::vector<std::string>{"a@example.com", "b@example.com"}));
    EXPECT_EQ(m.fields, (std::vector<std::string>{"To", "Subject", "Content-type",
                                                  "Content-transfer-encoding"}));
    EXPECT_EQ(m.to, kRecipients);
    const std::string subject = "Orvane Prod Inst: Error 1000000: " + text;
    EXPECT_EQ(m.subject, subject);
    EXPECT_EQ(m.raw, data(subject, "Error 1000000: " + text + "\n\n"));

    // A call that raises nothing mails nothing; without an instance the
    // subject leaves it out.
    uint32_t value = 0;
    EXPECT_EQ(kavrel_get_attr(ctx_, KAVREL_A_TRACE, &value), 0u);
    KAVREL_CTX *plain = nullptr;
    ASSERT_EQ(open(&plain, nullptr), 0u);
    EXPECT_EQ(kavrel_set_attr(plain, 4242, 1), STATUS_PROGRAMMING);
    kavrel_free(&plain);
    mails = relay_.mails();
    ASSERT_EQ(mails.size(), 2u);
    EXPECT_EQ(mails[1].subject, "Orvane Prod: Error 1000000: " + text);
}

struct Add {
    bool new_entry;
    int32_t severity, number;
    const char *text;
};

struct ShapeCase {
    const char *name;
    std::vector<Add> adds;
    const char *subject;  // after "Orvane Prod Inst: "
    const char *body;     // after the two header lines, with LF line ends
};

void add_all(KAVREL_ERR_INFO *ei, const std::vector<Add> &adds) {
    for (const Add &a : adds) {
        if (a.new_entry) ei->flags |= ERRINFO_NEW_ENTRY;
        errinfo_add(ei, a.severity, a.number, "%s", a.text);
    }
}

// Labels, the cause heading and the empty lines of mailed reports, and the
// entry the subject is taken from; one mail per case.
TEST_F(RelayTest, BodyShapes) {
    const std::vector<ShapeCase> cases = {
        {"cause heading, then a numbered detail",
         {{false, 100, 131235, "Entry"},
          {false, 80, 131200, "Cause"},
          {false, 80, 131234, "Detail"}},
         "Error 131235: Entry",
         "Error 131235: Entry\n\nPossible cause:\nWarning 131200: Cause\n\n"
         "Warning 131234: Detail\n\n\n\n"},
        {"131227 is a cause, 131228 is not; severity 60 has no label",
         {{false, 100, 131240, "E"},
          {false, 80, 131228, "not a cause"},
          {false, 60, 131227, "a cause"}},
         "Error 131240: E",
         "Error 131240: E\nWarning 131228: not a cause\n\nPossible cause:\na cause\n\n\n\n"},
        {"number 0 is a cause without a label",
         {{false, 100, 0, "zero entry"}, {false, 100, 0, "zero detail"}},
         "Error 0: zero entry",
         "Error 0: zero entry\n\nPossible cause:\nzero detail\n\n\n\n"},
        {"a repeated number is labelled once",
         {{false, 100, 131240, "E"},
          {false, 80, 131250, "first"},
          {false, 80, 131250, "second"},
          {false, 80, 131251, "third"}},
         "Error 131240: E",
         "Error 131240: E\nWarning 131250: first\nsecond\nWarning 131251: third\n\n"},
        {"the subject is the first entry of the highest severity",
         {{false, 80, 131234, "warn first"},
          {true, 100, 131236, "first error"},
          {true, 100, 131237, "second error"}},
         "Error 131236: first error",
         "Warning 131234: warn first\n\nError 131236: first error\n\nError 131237: second "
         "error\n\n"},
        {"the heading once per entry that has causes",
         {{false, 100, 131240, "one"},
          {false, 80, 5, "c1"},
          {false, 80, 131250, "n1"},
          {false, 80, 6, "c2"},
          {true, 100, 131241, "two"},
          {false, 80, 131250, "n2"}},
         "Error 131240: one",
         "Error 131240: one\n\nPossible cause:\nWarning 5: c1\n\nWarning 131250: n1\n"
         "Warning 6: c2\n\n\n\nError 131241: two\nWarning 131250: n2\n\n"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const ShapeCase &c = cases[i];
        SCOPED_TRACE(c.name);
        g_lines.clear();
        KAVREL_ERR_INFO ei;
        errinfo_begin(ctx_, nullptr, &ei);
        add_all(&ei, c.adds);
        EXPECT_EQ(errinfo_route(&ei), 0u);
        // Every message reaches the handler with its own number.
        const std::vector<Line> got = messages();
        ASSERT_EQ(got.size(), c.adds.size());
        for (std::size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].number, c.adds[k].number);
            EXPECT_EQ(got[k].text, c.adds[k].text);
        }
        const std::vector<Mail> mails = relay_.mails();
        ASSERT_EQ(mails.size(), i + 1) << "one mail per routing";
        const std::string subject = std::string("Orvane Prod Inst: ") + c.subject;
        EXPECT_EQ(mails[i].subject, subject);
        EXPECT_EQ(mails[i].raw, data(subject, c.body));
    }
}

// Message texts that try to end the data, add a recipient or a header: all
// of it stays text inside the one mail.
TEST_F(RelayTest, MessageTextCannotInjectCommandsOrHeaders) {
    KAVREL_ERR_INFO ei;
    errinfo_begin(ctx_, nullptr, &ei);
    errinfo_add(&ei, SEV_ERROR, 131240, "%s", "before\r\n.\r\nRCPT TO:<x@evil.example>\r\nafter");
    errinfo_add(&ei, SEV_INFORMATIONAL, 0, "%s", ".leading dot\n.\nBcc: y@evil.example\rcr only");
    EXPECT_EQ(errinfo_route(&ei), 0u);

    errinfo_begin(ctx_, nullptr, &ei);
    errinfo_add(&ei, SEV_ERROR, 131241, "%s", "subject\r\nRCPT TO: evil");
    EXPECT_EQ(errinfo_route(&ei), 0u);

    const std::vector<Mail> mails = relay_.mails();
    ASSERT_EQ(mails.size(), 2u);
    for (const Mail &m : mails) {
        EXPECT_EQ(m.rcpt, (std::vector<std::string>{"a@example.com", "b@example.com"}));
        EXPECT_EQ(m.fields, (std::vector<std::string>{"To", "Subject", "Content-type",
                                                      "Content-transfer-encoding"}));
    }
    const std::string subject1 =
        "Orvane Prod Inst: Error 131240: before  .  RCPT TO:<x@evil.example>  after";
    EXPECT_EQ(mails[0].subject, subject1);
    EXPECT_EQ(mails[0].raw,
              data(subject1,
                   "Error 131240: before\n.\nRCPT TO:<x@evil.example>\nafter\n\nPossible "
                   "cause:\n.leading dot\n.\nBcc: y@evil.example\ncr only\n\n\n\n"));
    const std::string subject2 = "Orvane Prod Inst: Error 131241: subject  RCPT TO: evil";
    EXPECT_EQ(mails[1].subject, subject2);
    EXPECT_EQ(mails[1].raw, data(subject2, "Error 131241: subject\nRCPT TO: evil\n\n"));
}

// ---- the scripted server ----------------------------------------------------------

enum class Script {
    Smtp,    // greets, "250 ok" to each line, "354 go" to DATA, "221 bye" to QUIT
    Silent,  // accepts and never says anything
    Close,   // closes the connection at once
    Reject,  // greets, then "550 no" to every command and to the data
    Split,   // the greeting in two parts, 300 ms apart; then as Smtp
    Long,    // a greeting and replies of 300 bytes; otherwise as Smtp
};

class ScriptedServer {
  public:
    explicit ScriptedServer(Script script) : script_(script), thread_([this] { run(); }) {}
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
    }
    ScriptedServer(const ScriptedServer &) = delete;
    ScriptedServer &operator=(const ScriptedServer &) = delete;

    int port() const { return listener_.port(); }
    std::string port_text() const { return listener_.port_text(); }

    // The bytes received on each connection so far, from the first one
    // accepted after the last forget().
    std::vector<std::string> sessions() {
        std::lock_guard lock(mutex_);
        return {sessions_.begin() + static_cast<std::ptrdiff_t>(forgotten_), sessions_.end()};
    }
    void forget() {
        std::lock_guard lock(mutex_);
        forgotten_ = sessions_.size();
    }
    // The sessions since the last forget(), once `n` of them have ended
    // (the client's last bytes may still be on their way when its call
    // returns), or after 3 seconds.
    std::vector<std::string> ended(std::size_t n) {
        const auto start = Clock::now();
        for (;;) {
            {
                std::lock_guard lock(mutex_);
                if (ended_ >= forgotten_ + n || seconds_since(start) > 3) break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return sessions();
    }

  private:
    void run() {
        while (!stop_) {
            const int c = listener_.accept_one();
            if (c < 0) continue;
            std::size_t index;
            {
                std::lock_guard lock(mutex_);
                index = sessions_.size();
                sessions_.emplace_back();
            }
            serve(c, index);
            ::close(c);
            std::lock_guard lock(mutex_);
            ++ended_;
        }
    }

    static void say(int c, const std::string &text) {
        ::send(c, text.data(), text.size(), MSG_NOSIGNAL);
    }

    std::string reply(const char *normal) const {
        if (script_ == Script::Reject) return "550 no\r\n";
        if (script_ == Script::Long) return std::string(normal, 4) + std::string(294, 'y') + "\r\n";
        return normal;
    }

    void serve(int c, std::size_t index) {
        switch (script_) {
            case Script::Close:
                return;
            case Script::Silent:
                break;
            case Script::Split:
                say(c, "220 scr");
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
                say(c, "ipted\r\n");
                break;
            case Script::Long:
                say(c, "220 " + std::string(394, 'x') + "\r\n");
                break;
            default:
                say(c, "220 scripted\r\n");
        }
        std::string pending;
        bool in_data = false;
        const auto start = Clock::now();
        while (!stop_ && seconds_since(start) < 8) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            const ssize_t n = ::recv(c, buffer, sizeof buffer, 0);
            if (n <= 0) return;  // the client closed
            {
                std::lock_guard lock(mutex_);
                sessions_[index].append(buffer, static_cast<std::size_t>(n));
            }
            if (script_ == Script::Silent) continue;
            pending.append(buffer, static_cast<std::size_t>(n));
            for (;;) {
                if (in_data) {
                    const std::size_t end = pending.find("\r\n.\r\n");
                    if (end == std::string::npos) break;
                    pending.erase(0, end + 5);
                    in_data = false;
                    say(c, reply("250 queued\r\n"));
                    continue;
                }
                const std::size_t eol = pending.find("\r\n");
                if (eol == std::string::npos) break;
                const std::string line = pending.substr(0, eol);
                pending.erase(0, eol + 2);
                if (line == "DATA") {
                    in_data = true;
                    say(c, reply("354 go\r\n"));
                } else if (line == "QUIT") {
                    say(c, reply("221 bye\r\n"));
                } else {
                    say(c, reply("250 ok\r\n"));
                }
            }
        }
    }

    Script script_;
    Listener listener_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> sessions_;
    std::size_t forgotten_ = 0;
    std::size_t ended_ = 0;
    std::thread thread_;
};

class ScriptedTest : public MailFixture {
  protected:
    // A context mailing to 127.0.0.1:port, with `more` properties; its
    // trace mask is `trace` from the start.
    uint32_t init_port(int port, const std::string &more, uint32_t trace = KAVREL_TRACE_PROP) {
        return init_host("127.0.0.1", "email.smtp.port=" + std::to_string(port) + "\n" + more,
                         trace);
    }
    uint32_t init_host(const std::string &host, const std::string &more, uint32_t trace) {
        return init("email.smtp.host=" + host +
                        "\nemail.sender=s@example.com\n"
                        "email.recipients=a@example.com,b@example.com\n"
                        "email.severity=ERROR\n" +
                        more,
                    trace);
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

std::string connect_failure(int port, int error) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "Failed to connect to SMTP host 127.0.0.1 on port %d. errno=%d %s", port, error,
                  std::strerror(error));
    return text;
}

TEST_F(ScriptedTest, ExactDialogue) {
    ScriptedServer server(Script::Smtp);
    ASSERT_EQ(init_port(server.port(), "email.helo.fqdn=client.test\n"), 0u);
    ASSERT_EQ(server.ended(1), std::vector<std::string>{""}) << "the test connection sends nothing";
    server.forget();
    g_lines.clear();
    // Every piece split at each ",", empty ones too; the body's line ends
    // all become CR LF and its lines that begin with "." get a second one.
    EXPECT_EQ(
        send("s@example.com", "a@x,,b@y,", "Subj", ".first\nplain\r\nbare\rcr\n.\n..two\n\nlast"),
        0u);
    EXPECT_EQ(server.ended(1),
              std::vector<std::string>{"HELO client.test\r\n"
                                       "MAIL FROM: s@example.com\r\n"
                                       "RCPT TO: a@x\r\nRCPT TO: \r\nRCPT TO: b@y\r\nRCPT TO: \r\n"
                                       "DATA\r\n"
                                       "To:a@x,,b@y,\r\nSubject:Subj\r\n"
                                       "..first\r\nplain\r\nbare\r\ncr\r\n..\r\n...two\r\n\r\nlast"
                                       "\r\n.\r\n"
                                       "QUIT\r\n"});
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(ctx_->email->socket, -1);
    // Each awaited reply is traced: greeting, HELO, MAIL, four RCPT, DATA,
    // "." and QUIT.
    const std::vector<std::string> received = trace_of("SMTP RECV: ");
    ASSERT_EQ(received.size(), 10u);
    EXPECT_EQ(received[8], "SMTP RECV: 250 queued\r\n\n");
    EXPECT_EQ(trace_of("SMTP SEND: ").front(), "SMTP SEND: 'HELO ' len=5\n");
}

struct HeloCase {
    const char *name;
    const char *props;
    const char *start;  // what the dialogue begins with
};

class Helo : public ScriptedTest, public ::testing::WithParamInterface<HeloCase> {};

TEST_P(Helo, BeginsTheDialogue) {
    ScriptedServer server(Script::Smtp);
    ASSERT_EQ(init_port(server.port(), GetParam().props), 0u);
    server.forget();
    EXPECT_EQ(send("s@x", "r@x", "S", "B"), 0u);
    const std::vector<std::string> sessions = server.ended(1);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].rfind(GetParam().start, 0), 0u) << sessions[0];
}

INSTANTIATE_TEST_SUITE_P(Smtp, Helo,
                         ::testing::Values(HeloCase{"Absent", "", "MAIL FROM: s@x\r\nRCPT TO: r@x"},
                                           HeloCase{"Empty", "email.helo.fqdn=\n",
                                                    "HELO \r\nMAIL FROM: s@x\r\n"},
                                           HeloCase{"Named", "email.helo.fqdn=me.example\n",
                                                    "HELO me.example\r\nMAIL FROM: s@x\r\n"}),
                         [](const auto &p) { return std::string(p.param.name); });

// A line end inside the HELO name, the sender, a recipient or the subject
// goes out as a space: none of them can start a command or a header.
TEST_F(ScriptedTest, FieldsAreSentOnOneLine) {
    ScriptedServer server(Script::Smtp);
    ASSERT_EQ(init_port(server.port(), ""), 0u);
    char helo[] = "me\r\nRSET";
    ctx_->email->helo = helo;
    server.forget();
    EXPECT_EQ(send("s@x\r\nRCPT TO: evil@x", "a@x\nDATA,b@x\r", "Subj\r\nBcc: evil@x", "body"), 0u);
    ctx_->email->helo = ctx_->helo;
    EXPECT_EQ(server.ended(1),
              std::vector<std::string>{"HELO me  RSET\r\n"
                                       "MAIL FROM: s@x  RCPT TO: evil@x\r\n"
                                       "RCPT TO: a@x DATA\r\nRCPT TO: b@x \r\n"
                                       "DATA\r\n"
                                       "To:a@x DATA,b@x \r\nSubject:Subj  Bcc: evil@x\r\n"
                                       "body\r\n.\r\n"
                                       "QUIT\r\n"});
}

TEST_F(ScriptedTest, NoGreetingWithinASecond) {
    ScriptedServer server(Script::Silent);
    auto start = Clock::now();
    ASSERT_EQ(init_port(server.port(), ""), 0u);
    double took = seconds_since(start);
    // The test connection fails after a second; that error is itself
    // mailed, and that delivery fails after another second.
    EXPECT_GE(took, 1.8);
    EXPECT_LT(took, 3.5);
    std::vector<Line> got = messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].text, got[0].text);
    EXPECT_EQ(got[0].severity, SEV_ERROR);
    EXPECT_EQ(got[0].number, 131268);
    // The text names host and port and ends in the socket's error.
    const std::string head =
        "Failed to connect to SMTP host 127.0.0.1 on port " + server.port_text() + ". errno=";
    const int error = std::atoi(got[0].text.c_str() + head.size());
    EXPECT_NE(error, 0);
    EXPECT_EQ(got[0].text, connect_failure(server.port(), error));

    // A report: written, then the failed delivery, in the same call.
    g_lines.clear();
    start = Clock::now();
    EXPECT_EQ(route_report(), 131268u);
    took = seconds_since(start);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 2.5);
    got = messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].text.rfind(head, 0), 0u);
    EXPECT_TRUE(trace_of("SMTP SEND").empty());
    EXPECT_EQ(ctx_->email->socket, -1);
}

TEST_F(ScriptedTest, CloseInsteadOfGreeting) {
    ScriptedServer server(Script::Close);
    ASSERT_EQ(init_port(server.port(), "email.helo.fqdn=me.example\n"), 0u);
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
    ASSERT_EQ(init_port(server.port(), "email.helo.fqdn=me.example\n"), 0u);
    server.forget();
    g_lines.clear();
    EXPECT_EQ(route_report(), 0u);
    EXPECT_EQ(messages().size(), 1u);
    // HELO, MAIL, two RCPT, DATA, "." and QUIT: each rejected, each sent.
    EXPECT_EQ(trace_of("SMTP RECV: 550 no\r\n").size(), 7u);
    EXPECT_TRUE(trace_of("SMTP FAIL").empty());
    const std::vector<std::string> sessions = server.ended(1);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_TRUE(sessions[0].ends_with("\r\n.\r\nQUIT\r\n"));
}

TEST_F(ScriptedTest, ReplyInTwoParts) {
    ScriptedServer server(Script::Split);
    ASSERT_EQ(init_port(server.port(), "email.helo.fqdn=me.example\n", 0), 0u);
    // The test connection's server side ends first (its second part is
    // sent to a closed connection).
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    server.forget();
    ctx_->trace = KAVREL_TRACE_PROP;
    const auto start = Clock::now();
    EXPECT_EQ(route_report(), 0u);
    EXPECT_LT(seconds_since(start), 0.95) << "no wait runs out";
    // One receive per reply: the greeting's remainder is read as the next
    // reply, and the dialogue goes on.
    const std::vector<std::string> received = trace_of("SMTP RECV: ");
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(received[0], "SMTP RECV: 220 scr\n");
    EXPECT_EQ(received[1].rfind("SMTP RECV: ipted\r\n", 0), 0u);
    EXPECT_TRUE(trace_of("SMTP FAIL").empty());
    const std::vector<std::string> sessions = server.ended(1);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_TRUE(sessions[0].ends_with("\r\n.\r\nQUIT\r\n"));
}

TEST_F(ScriptedTest, ReplyLongerThanTheBuffer) {
    ScriptedServer server(Script::Long);
    ASSERT_EQ(init_port(server.port(), "email.helo.fqdn=me.example\n", 0), 0u);
    server.forget();
    ctx_->trace = KAVREL_TRACE_PROP;
    EXPECT_EQ(route_report(), 0u);
    EXPECT_EQ(messages().size(), 1u);
    const std::vector<std::string> received = trace_of("SMTP RECV: ");
    ASSERT_GE(received.size(), 2u);
    // At most 256 bytes a receive; the rest is read as the next reply.
    EXPECT_EQ(received[0], "SMTP RECV: 220 " + std::string(252, 'x') + "\n");
    EXPECT_EQ(received[1].rfind("SMTP RECV: " + std::string(142, 'x') + "\r\n", 0), 0u);
    for (const std::string &r : received) {
        EXPECT_LE(r.size(), std::strlen("SMTP RECV: ") + 256 + 1) << r;
    }
    EXPECT_TRUE(trace_of("SMTP FAIL").empty());
    // The whole dialogue is sent. (The relay may not see all of it: the
    // replies' remainders are still unread when the connection is closed,
    // so the close resets the connection.)
    const std::vector<std::string> sent = trace_of("SMTP SEND: ");
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), "SMTP SEND: 'QUIT\r\n' len=6\n");
    const std::vector<std::string> sessions = server.ended(1);
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(sessions[0].rfind("HELO me.example\r\nMAIL FROM: s@example.com\r\n", 0), 0u);
}

TEST_F(ScriptedTest, RefusedConnectionReachesTheHandlerInTheSameCall) {
    const int port = closed_port();
    ASSERT_EQ(init_port(port, ""), 0u);
    // The test connection's failure, and that of the delivery of the mail
    // that reports it.
    EXPECT_EQ(messages().size(), 2u);
    g_lines.clear();
    const auto start = Clock::now();
    EXPECT_EQ(route_report(), 131268u);
    EXPECT_LT(seconds_since(start), 0.9);
    const std::vector<Line> got = messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].text, "report");
    EXPECT_EQ(got[1].number, 131268);
    EXPECT_EQ(got[1].text, connect_failure(port, ECONNREFUSED));
    char line[256];
    std::snprintf(line, sizeof line, "SMTP recv len: -1, errno: %d %s\n", ECONNREFUSED,
                  std::strerror(ECONNREFUSED));
    EXPECT_EQ(trace_of("SMTP recv len: "), std::vector<std::string>{line});
}

TEST_F(ScriptedTest, UnresolvableHost) {
    ASSERT_EQ(init_host("no-such-host.invalid", "", KAVREL_TRACE_PROP), 0u);
    g_lines.clear();
    const uint32_t status = route_report();
    const std::vector<Line> got = messages();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].number, 0);
    const std::string head =
        "Failed to get address information for email delivery to no-such-host.invalid. Error=";
    const int code = std::atoi(got[1].text.c_str() + head.size());
    EXPECT_NE(code, 0);
    EXPECT_EQ(got[1].text, head + std::to_string(code) + " " + ::gai_strerror(code));
    EXPECT_EQ(status, static_cast<uint32_t>(code)) << "the resolver's own code";
    EXPECT_EQ(
        trace_of("SMTP getaddrinfo"),
        std::vector<std::string>{"SMTP getaddrinfo to no-such-host.invalid@25 FAILED: error: " +
                                 std::to_string(code) + " " + ::gai_strerror(code) + "\n"});
}

}  // namespace
