// Mail transport against real servers: Dovecot for POP3 and IMAP, aiosmtpd for SMTP, whose
// messages are read back with Python's email package.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <json/json.h>

#include <libvux/vuxemail.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

#include "peers/dovecot.h"
#include "peers/server.h"
#include "peers/smtp.h"
#include "test_util.h"

namespace {

using vux_email::IIncomeServer;
using vux_email::ImapServer;
using vux_email::Pop3Server;

// A message as a mail server stores it, with CRLF line ends; `size` pads the body.
std::string Source(const std::string& subject, std::size_t size = 0) {
    std::string body = "Hello from " + subject + ".\r\n";
    for (std::size_t line = 0; body.size() < size; ++line)
        body += "line " + std::to_string(line) + " of the padding that makes this message long enough\r\n";
    return "From: Sender <sender@example.test>\r\nTo: vuxmail@example.test\r\nSubject: " + subject +
           "\r\nMessage-ID: <" + subject + "@example.test>\r\n\r\n" + body;
}

std::string Param(const vux_err::Error& e, const std::string& name) {
    const vux_xml::XmlNode node = e.xml().GetNode("/doc/error/param[@name='" + name + "']");
    return node ? node.Str() : "(none)";
}

// Forwards one connection to 127.0.0.1:upstream and cuts it once `limit` bytes of the server's
// output have passed: a server that goes away in the middle of a session.
class CuttingProxy {
public:
    CuttingProxy(int upstream, std::size_t limit) : upstream_(upstream), limit_(limit) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Address(0);
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listen_, 1) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            throw std::runtime_error("proxy listen");
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~CuttingProxy() {
        stop_ = true;
        thread_.join();
        ::close(listen_);
    }
    int port() const { return port_; }
    std::size_t passed() const { return passed_; }

private:
    static sockaddr_in Address(int port) {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }

    void Run() {
        pollfd p = {listen_, POLLIN, 0};
        while (!stop_ && ::poll(&p, 1, 100) == 0) {
        }
        if (stop_) return;
        const int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Address(upstream_);
        if (client >= 0 && ::connect(server, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0) Pump(client, server);
        ::close(server);
        if (client >= 0) ::close(client);
    }

    void Pump(int client, int server) {
        char buf[4096];
        while (!stop_) {
            pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
            if (::poll(fds, 2, 100) <= 0) continue;
            if (fds[0].revents) {
                const ssize_t n = ::read(client, buf, sizeof buf);
                if (n <= 0 || ::write(server, buf, n) != n) return;
            }
            if (fds[1].revents) {
                const std::size_t room = limit_ - passed_;
                const ssize_t n = ::read(server, buf, std::min(sizeof buf, room));
                if (n <= 0 || ::write(client, buf, n) != n) return;
                passed_ += static_cast<std::size_t>(n);
                if (passed_ >= limit_) return;
            }
        }
    }

    int upstream_;
    std::size_t limit_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<std::size_t> passed_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class Mailbox : public ::testing::Test {
protected:
    void SetUp() override {
        if (!peers::Dovecot::Missing().empty()) GTEST_SKIP() << peers::Dovecot::Missing();
        dovecot_ = std::make_unique<peers::Dovecot>();
    }

    ImapServer Imap(IIncomeServer::SecureType secure = IIncomeServer::Plain,
                    const std::string& password = peers::Dovecot::kPassword) const {
        const int port = secure == IIncomeServer::Ssl ? dovecot_->imaps_port() : dovecot_->imap_port();
        return ImapServer("127.0.0.1", peers::Dovecot::kUser, password, port, secure);
    }
    Pop3Server Pop3(int read_action, IIncomeServer::SecureType secure = IIncomeServer::Plain,
                    const std::string& password = peers::Dovecot::kPassword) const {
        const int port = secure == IIncomeServer::Ssl ? dovecot_->pop3s_port() : dovecot_->pop3_port();
        return Pop3Server("127.0.0.1", peers::Dovecot::kUser, password, port, read_action, secure);
    }

    std::unique_ptr<peers::Dovecot> dovecot_;
};

TEST_F(Mailbox, EmptyMailboxGivesNoMessagesAndNoError) {
    std::vector<std::string> out{"kept"};
    ASSERT_NO_THROW(Imap().Get(out)) << dovecot_->Log();
    ASSERT_NO_THROW(Pop3(1).Get(out)) << dovecot_->Log();
    EXPECT_EQ(out, std::vector<std::string>{"kept"});
}

TEST_F(Mailbox, ImapReturnsOnlyUnseenMessagesAndMarksThemSeen) {
    const std::string first = Source("first"), second = Source("second", 70000), old = Source("old");
    dovecot_->Deliver(first);
    dovecot_->Deliver(old, true);
    dovecot_->Deliver(second);

    std::vector<std::string> out;
    ImapServer imap = Imap();
    imap.Get(out);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], first);
    EXPECT_EQ(out[1], second);
    EXPECT_EQ(dovecot_->SeenCount(), 3) << dovecot_->Log();
    EXPECT_EQ(dovecot_->Messages().size(), 3u);

    // The same object reconnects; nothing is unread any more until a new message comes.
    out.clear();
    imap.Get(out);
    EXPECT_TRUE(out.empty());
    const std::string third = Source("third");
    dovecot_->Deliver(third);
    imap.Get(out);
    EXPECT_EQ(out, std::vector<std::string>{third});
}

TEST_F(Mailbox, Pop3DeletesWhatItReturnedOnlyWithReadActionOne) {
    const std::string first = Source("first"), second = Source("second", 70000);
    dovecot_->Deliver(first);
    dovecot_->Deliver(second);

    for (int keep : {0, 2}) {
        std::vector<std::string> out;
        Pop3(keep).Get(out);
        ASSERT_EQ(out.size(), 2u) << "read action " << keep;
        EXPECT_EQ(out[0], first);
        EXPECT_EQ(out[1], second);
        EXPECT_EQ(dovecot_->Messages().size(), 2u) << "read action " << keep;
    }
    std::vector<std::string> out;
    Pop3(1).Get(out);
    EXPECT_EQ(out.size(), 2u);
    EXPECT_TRUE(dovecot_->Messages().empty()) << dovecot_->Log();
    out.clear();
    Pop3(1).Get(out);
    EXPECT_TRUE(out.empty());
}

TEST_F(Mailbox, CheckLogsInOrSaysWhy) {
    EXPECT_NO_THROW(Imap().Check()) << dovecot_->Log();
    EXPECT_NO_THROW(Pop3(0).Check()) << dovecot_->Log();

    const vux_err::Error imap = testutil::Catch<vux_err::Error>([&] { Imap(IIncomeServer::Plain, "wrong").Check(); });
    EXPECT_EQ(imap.type(), "can_not_login");
    EXPECT_NE(Param(imap, "code"), "(none)");
    EXPECT_NE(Param(imap, "code"), "0");
    EXPECT_NE(Param(imap, "msg"), "(none)");
    EXPECT_EQ(testutil::ErrorOf([&] { Pop3(0, IIncomeServer::Plain, "wrong").Check(); }), "email_auth_error//");
    std::vector<std::string> out;
    EXPECT_EQ(testutil::ErrorKindOf([&] { Imap(IIncomeServer::Ssl, "wrong").Get(out); }), "can_not_login/");
    EXPECT_EQ(testutil::ErrorKindOf([&] { Pop3(1, IIncomeServer::StartTls, "").Get(out); }), "email_auth_error/");
    EXPECT_TRUE(out.empty());

    // Nothing listening, and a port that cannot be one.
    const int dead = peers::FreePort();
    const vux_err::Error refused = testutil::Catch<vux_err::Error>(
        [&] { ImapServer("127.0.0.1", "u", "p", dead, IIncomeServer::Plain).Check(); });
    EXPECT_EQ(refused.type(), "can_not_connect");
    EXPECT_NE(Param(refused, "msg"), "(none)");
    EXPECT_EQ(testutil::ErrorKindOf([&] { ImapServer("127.0.0.1", "u", "p", dead, IIncomeServer::Ssl).Check(); }),
              "can_not_connect/");
    EXPECT_EQ(testutil::ErrorKindOf([&] { ImapServer("127.0.0.1", "u", "p", 70000, IIncomeServer::Plain).Check(); }),
              "can_not_connect/");
    for (auto secure : {IIncomeServer::Plain, IIncomeServer::Ssl, IIncomeServer::StartTls})
        EXPECT_EQ(testutil::ErrorKindOf([&] { Pop3Server("127.0.0.1", "u", "p", dead, 0, secure).Check(); }),
                  "email_connect_error/");
    // TLS spoken to a plain port fails the connection, not the login.
    EXPECT_EQ(testutil::ErrorKindOf([&] {
                  Pop3Server("127.0.0.1", "u", "p", dovecot_->pop3_port(), 0, IIncomeServer::Ssl).Check();
              }),
              "email_connect_error/");
}

TEST_F(Mailbox, EverySecureTypeReadsTheMailbox) {
    for (auto secure : {IIncomeServer::Plain, IIncomeServer::Ssl, IIncomeServer::StartTls}) {
        SCOPED_TRACE(secure);
        const std::string imap_msg = Source("imap" + std::to_string(secure));
        dovecot_->Deliver(imap_msg);
        std::vector<std::string> out;
        EXPECT_NO_THROW(Imap(secure).Check());
        Imap(secure).Get(out);
        EXPECT_EQ(out, std::vector<std::string>{imap_msg});

        EXPECT_NO_THROW(Pop3(1, secure).Check());
        out.clear();
        Pop3(1, secure).Get(out);
        EXPECT_EQ(out, std::vector<std::string>{imap_msg});
        EXPECT_TRUE(dovecot_->Messages().empty());
    }
    const std::string log = dovecot_->Log();
    EXPECT_NE(log.find("imap-login: Info: Login: user=<vuxmail>, method=PLAIN, rip=127.0.0.1, lip=127.0.0.1, mpid="),
              std::string::npos);
    // Two of the three kinds of session ran over TLS on each protocol.
    std::size_t tls = 0;
    for (std::string::size_type at = 0; (at = log.find(", TLS, session=", at)) != std::string::npos; ++at) ++tls;
    EXPECT_GE(tls, 8u) << log;
}

TEST_F(Mailbox, SessionsAreLoggedAtDebugLevel) {
    testutil::TempDir dir;
    testutil::ChDir cd(dir.path());
    testutil::WriteFile(dir / "etc/debug.conf", "gateway 9\n");
    ::setenv("VUX_LOGFILE", (dir / "mail.log").c_str(), 1);
    vux_log::Init("mail_test", 9);
    dovecot_->Deliver(Source("logged"));
    std::vector<std::string> out;
    Imap().Get(out);
    Pop3(1).Get(out);
    EXPECT_THROW(Imap(IIncomeServer::Plain, "wrong").Check(), vux_err::Error);
    vux_log::Close();
    ::unsetenv("VUX_LOGFILE");
    EXPECT_EQ(out.size(), 2u);
    const std::string log = testutil::ReadFile(dir / "mail.log");
    for (const char* line : {"gateway", "vuxemail_mailbox:", " connected", " Auth response: ", " Delete response: ",
                             " Res: 0: ", " login error"})
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
}

TEST_F(Mailbox, ServerGoneMidFetchLosesNothing) {
    const std::string first = Source("first", 50000), second = Source("second", 50000);
    dovecot_->Deliver(first);
    dovecot_->Deliver(second);

    {
        // Past the log-in and the flags, inside the second body.
        CuttingProxy proxy(dovecot_->imap_port(), 80000);
        std::vector<std::string> out;
        const vux_err::Error e = testutil::Catch<vux_err::Error>(
            [&] { ImapServer("127.0.0.1", peers::Dovecot::kUser, peers::Dovecot::kPassword, proxy.port()).Get(out); });
        EXPECT_EQ(e.type(), "can_not_fetch");
        EXPECT_TRUE(out.empty());
        EXPECT_EQ(proxy.passed(), 80000u);
    }
    EXPECT_EQ(dovecot_->SeenCount(), 0);
    std::vector<std::string> out;
    Imap().Get(out);
    EXPECT_TRUE(out == (std::vector<std::string>{first, second})) << out.size();
    EXPECT_EQ(dovecot_->SeenCount(), 2);

    {
        CuttingProxy proxy(dovecot_->pop3_port(), 80000);
        const vux_err::Error e = testutil::Catch<vux_err::Error>([&] {
            Pop3Server("127.0.0.1", peers::Dovecot::kUser, peers::Dovecot::kPassword, proxy.port(), 1).Get(out);
        });
        EXPECT_EQ(e.type(), "email_pop3_error");
        EXPECT_EQ(e.object(), "retr");
        EXPECT_EQ(out.size(), 2u);
    }
    EXPECT_EQ(dovecot_->Messages().size(), 2u);
    out.clear();
    Pop3(1).Get(out);
    EXPECT_TRUE(out == (std::vector<std::string>{first, second})) << out.size();
    EXPECT_TRUE(dovecot_->Messages().empty());
}

// ---------------------------------------------------------------------------------------------
// SMTP

class Smtp : public ::testing::Test {
protected:
    void SetUp() override {
        if (!peers::Smtp::Missing().empty()) GTEST_SKIP() << peers::Smtp::Missing();
    }

    static vux_email::SmtpServer Server(const peers::Smtp& smtp, vux_email::SmtpServer::SecureType secure,
                                        const std::string& password = peers::Smtp::kPassword) {
        return vux_email::SmtpServer("127.0.0.1", peers::Smtp::kUser, password, smtp.port(), secure);
    }

    static StringVector Strings(const Json::Value& list) {
        StringVector out;
        for (const Json::Value& v : list) out.push_back(v.asString());
        return out;
    }
    static StringVector Addresses(const Json::Value& list, bool with_names = false) {
        StringVector out;
        for (const Json::Value& v : list)
            out.push_back(with_names ? v["name"].asString() + " <" + v["address"].asString() + ">"
                                     : v["address"].asString());
        return out;
    }
    static std::string Data(const Json::Value& part) {
        return str::base64::Decode(part["data"].asString());
    }
};

TEST_F(Smtp, DeliversWhatPythonsEmailPackageReadsBack) {
    peers::Smtp smtp;
    testutil::TempDir dir;
    const std::string bytes = testutil::RandomBytes(3000, 7) + std::string("\0\r\n.\r\n", 6);
    testutil::WriteFile(dir / "report.bin", bytes);
    const std::string subject = "Отчёт о резервном копировании: всё прошло успешно ✓ (сервер №7)";
    const std::string text = "Копия готова.\n.\nA line with a dot above; ünïcödé ✓\n";

    vux_email::Message m;
    m.SetFrom("Panel Robot <robot@example.test>")
        .SetTo("Admin One <one@example.test>, two@example.test")
        .AddCc("Carbon Copy <cc@example.test>")
        .SetBcc("hidden1@example.test, Secret <hidden2@example.test>")
        .SetSubject(subject)
        .AddTextMsg(text)
        .AddFileMsg(dir / "report.bin", "application/octet-stream", "отчёт.bin");
    EXPECT_EQ(Server(smtp, vux_email::SmtpServer::Plain, "").Send(m), "");

    const std::vector<Json::Value> got = smtp.Received();
    ASSERT_EQ(got.size(), 1u);
    const Json::Value& r = got[0];
    const Json::Value& msg = r["message"];
    EXPECT_EQ(r["mail_from"].asString(), "robot@example.test");
    EXPECT_EQ(Strings(r["rcpt_tos"]), (StringVector{"one@example.test", "two@example.test", "cc@example.test",
                                                      "hidden1@example.test", "hidden2@example.test"}));
    EXPECT_EQ(msg["subject"].asString(), subject);
    EXPECT_EQ(Addresses(msg["from"], true), StringVector{"Panel Robot <robot@example.test>"});
    EXPECT_EQ(Addresses(msg["to"]), (StringVector{"one@example.test", "two@example.test"}));
    EXPECT_EQ(Addresses(msg["cc"], true), StringVector{"Carbon Copy <cc@example.test>"});
    // The blind copies went in the envelope only.
    EXPECT_TRUE(msg["bcc"].isNull());
    for (const Json::Value& h : msg["headers"]) EXPECT_STRCASENE(h[0].asCString(), "bcc");
    EXPECT_EQ(smtp.Raw(1).find("hidden"), std::string::npos);
    EXPECT_EQ(msg["message_id"].asString(), "<" + m.MessageId() + ">");
    EXPECT_FALSE(m.MessageId().empty());
    // The caller's message still has its Bcc.
    EXPECT_EQ(m.Bcc(true), (StringVector{"hidden1@example.test", "hidden2@example.test"}));

    EXPECT_EQ(msg["content_type"].asString(), "multipart/mixed");
    ASSERT_EQ(msg["parts"].size(), 2u);
    const Json::Value& body = msg["parts"][0];
    EXPECT_EQ(body["content_type"].asString(), "text/plain");
    EXPECT_EQ(body["charset"].asString(), "utf-8");
    EXPECT_EQ(Data(body), text);
    const Json::Value& file = msg["parts"][1];
    EXPECT_EQ(file["disposition"].asString(), "attachment");
    EXPECT_EQ(file["filename"].asString(), "отчёт.bin");
    EXPECT_EQ(Data(file), bytes);
    EXPECT_EQ(msg["defects"].size(), 0u) << msg["defects"];
}

TEST_F(Smtp, EnvelopeSenderIsTheSenderElseTheFirstFrom) {
    peers::Smtp smtp;
    vux_email::SmtpServer server = Server(smtp, vux_email::SmtpServer::Plain, "");
    vux_email::Message m;
    m.SetFrom("first@example.test, second@example.test").SetTo("to@example.test").AddTextMsg("x");
    EXPECT_EQ(server.Send(m), "");
    m.SetSender("Bounce Handler", "bounces@example.test");
    EXPECT_EQ(server.Send(m), "");
    vux_email::Message only_sender;
    only_sender.SetSender("<alone@example.test>").SetTo("to@example.test").AddTextMsg("y");
    EXPECT_EQ(server.Send(only_sender), "");

    const std::vector<Json::Value> got = smtp.Received();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0]["mail_from"].asString(), "first@example.test");
    EXPECT_EQ(got[1]["mail_from"].asString(), "bounces@example.test");
    EXPECT_EQ(Addresses(got[1]["message"]["sender"], true), StringVector{"Bounce Handler <bounces@example.test>"});
    EXPECT_EQ(got[2]["mail_from"].asString(), "alone@example.test");

    vux_email::Message nobody;
    nobody.SetTo("to@example.test").AddTextMsg("z");
    EXPECT_EQ(testutil::ErrorKindOf<vux_email::Fail>([&] { server.Send(nobody); }), "email/no_sender");
    // A line break in an envelope address would start a command of its own.
    vux_email::Message injected;
    injected.SetFrom("from@example.test").SetTo("x", "a@example.test>\r\nRCPT TO:<evil@example.test").AddTextMsg("w");
    EXPECT_NE(server.Send(injected), "");
    EXPECT_EQ(smtp.Received().size(), 3u);
}

TEST_F(Smtp, TlsAndLogins) {
    using S = vux_email::SmtpServer;
    for (auto mode : {peers::Smtp::kPlain, peers::Smtp::kSmtps, peers::Smtp::kStartTls}) {
        SCOPED_TRACE(mode);
        const S::SecureType secure = mode == peers::Smtp::kSmtps ? S::Smtps
                                     : mode == peers::Smtp::kStartTls ? S::StartTls : S::Plain;
        peers::Smtp smtp(mode, true);
        vux_email::Message m;
        m.SetFrom("from@example.test").SetTo("to@example.test").SetSubject("over " + std::to_string(secure)).AddTextMsg("t");
        EXPECT_EQ(Server(smtp, secure).Check(), 0);
        EXPECT_EQ(Server(smtp, secure).Send(m), "");
        EXPECT_EQ(Server(smtp, secure, "wrong").Check(), CURLE_LOGIN_DENIED);
        EXPECT_EQ(Server(smtp, secure, "wrong").Send(m), curl_easy_strerror(CURLE_LOGIN_DENIED));
        // No login where the server requires one.
        EXPECT_NE(vux_email::SmtpServer("127.0.0.1", "", "", smtp.port(), secure).Send(m), "");
        const std::vector<Json::Value> got = smtp.Received();
        ASSERT_EQ(got.size(), 1u);
        EXPECT_TRUE(got[0]["authenticated"].asBool());
        EXPECT_EQ(got[0]["tls"].asBool(), secure != S::Plain);
        EXPECT_EQ(got[0]["message"]["subject"].asString(), "over " + std::to_string(secure));
    }
    // A server that insists on STARTTLS refuses a plain session.
    peers::Smtp starttls(peers::Smtp::kStartTls);
    vux_email::Message m;
    m.SetFrom("from@example.test").SetTo("to@example.test").AddTextMsg("t");
    EXPECT_NE(vux_email::SmtpServer("127.0.0.1", "", "", starttls.port(), S::Plain).Send(m), "");
    EXPECT_TRUE(starttls.Received().empty());
}

TEST_F(Smtp, DialogueIsLoggedAtDebugLevel) {
    peers::Smtp smtp(peers::Smtp::kPlain, true);
    testutil::TempDir dir;
    testutil::ChDir cd(dir.path());
    testutil::WriteFile(dir / "etc/debug.conf", "rpc 9\n");
    ::setenv("VUX_LOGFILE", (dir / "rpc.log").c_str(), 1);
    vux_log::Init("mail_test", 9);
    vux_email::Message m;
    m.SetFrom("from@example.test").SetTo("to@example.test").AddTextMsg("logged");
    EXPECT_EQ(Server(smtp, vux_email::SmtpServer::Plain).Send(m), "");
    vux_log::Close();
    ::unsetenv("VUX_LOGFILE");
    const std::string log = testutil::ReadFile(dir / "rpc.log");
    for (const char* line : {"MAIL FROM:<from@example.test>", "RCPT TO:<to@example.test>", "250 Message accepted"})
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
    // Headers and commands only: the message itself stays out of the log.
    EXPECT_EQ(log.find(str::base64::Encode("logged")), std::string::npos) << log;
}

TEST_F(Smtp, ReachesAnIpv6LiteralHost) {
    peers::Smtp smtp(peers::Smtp::kPlain, false, "::1");
    vux_email::Message m;
    m.SetFrom("from@example.test").SetTo("to@example.test").SetSubject("over ::1").AddTextMsg("t");
    vux_email::SmtpServer server("::1", "", "", smtp.port());
    EXPECT_EQ(server.Check(), 0);
    EXPECT_EQ(server.Send(m), "");
    ASSERT_EQ(smtp.Received().size(), 1u);
    EXPECT_EQ(smtp.Received()[0]["message"]["subject"].asString(), "over ::1");
}

TEST_F(Smtp, FailuresComeBackAsCurlsText) {
    vux_email::Message m;
    m.SetFrom("from@example.test").SetTo("to@example.test, nobody@rejected.test").AddTextMsg("t");
    {
        peers::Smtp smtp;
        const std::string result = vux_email::SmtpServer("127.0.0.1", "", "", smtp.port()).Send(m);
        EXPECT_EQ(result, curl_easy_strerror(CURLE_SEND_ERROR));
        EXPECT_TRUE(smtp.Received().empty());
    }
    m.SetTo("to@example.test");
    {
        peers::Smtp stall(peers::Smtp::kStall);
        vux_email::SmtpServer server("127.0.0.1", "", "", stall.port());
        server.SetTimeout(1);
        EXPECT_EQ(server.Send(m), curl_easy_strerror(CURLE_OPERATION_TIMEDOUT));
    }
    const int dead = peers::FreePort();
    EXPECT_EQ(vux_email::SmtpServer("127.0.0.1", "", "", dead).Check(), CURLE_COULDNT_CONNECT);
    EXPECT_EQ(vux_email::SmtpServer("::1", "", "", dead).Check(), CURLE_COULDNT_CONNECT);
    EXPECT_EQ(vux_email::SmtpServer("127.0.0.1", "", "", dead, vux_email::SmtpServer::Smtps).Send(m),
              curl_easy_strerror(CURLE_COULDNT_CONNECT));
}

}  // namespace
