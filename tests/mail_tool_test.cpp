// `vux mail send` and `vux mail fetch` as scripts run them, against aiosmtpd and Dovecot.
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

#include <libvux/vuxstr.h>

#include "peers/dovecot.h"
#include "peers/smtp.h"
#include "test_util.h"

namespace {

struct Result {
    int code;
    std::string out;
};

// Runs `vux ARGS` with `input` on standard input; standard error joins standard output.
Result Vux(const std::string& args, const std::string& input = "") {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "in", input);
    const std::string cmd = std::string("'") + VUX_TOOL + "' " + args + " < '" + (dir / "in") + "'";
    Result r{-1, ""};
    r.out = testutil::ShellOutput(cmd, &r.code);
    return r;
}

TEST(MailTool, SendsWithLoginAndAttachments) {
    if (!peers::Smtp::Missing().empty()) GTEST_SKIP() << peers::Smtp::Missing();
    peers::Smtp smtp(peers::Smtp::kStartTls, true);
    testutil::TempDir dir;
    testutil::WriteFile(dir / "password", std::string(peers::Smtp::kPassword) + "\n");
    const std::string bytes = testutil::RandomBytes(5000, 3);
    testutil::WriteFile(dir / "data.bin", bytes);
    const std::string server = "--smtp 127.0.0.1:" + std::to_string(smtp.port()) + " --starttls --user " +
                               peers::Smtp::kUser + " --password-file '" + (dir / "password") + "'";

    const Result r = Vux("mail send " + server + " --from 'Robot <robot@example.test>' --to a@example.test --to " +
                             "b@example.test --bcc hidden@example.test --subject 'Ежедневный отчёт' --attach '" +
                             (dir / "data.bin") + "'",
                         "Всё хорошо.\n");
    ASSERT_EQ(r.code, 0) << r.out;
    EXPECT_EQ(r.out.rfind("sent ", 0), 0u) << r.out;
    const std::vector<Json::Value> got = smtp.Received();
    ASSERT_EQ(got.size(), 1u);
    const Json::Value& msg = got[0]["message"];
    EXPECT_EQ(got[0]["rcpt_tos"].size(), 3u);
    EXPECT_EQ(msg["subject"].asString(), "Ежедневный отчёт");
    EXPECT_TRUE(msg["bcc"].isNull());
    EXPECT_EQ(r.out, "sent " + msg["message_id"].asString().substr(1, msg["message_id"].asString().size() - 2) + "\n");
    ASSERT_EQ(msg["parts"].size(), 2u);
    EXPECT_EQ(str::base64::Decode(msg["parts"][0]["data"].asString()), "Всё хорошо.\n");
    EXPECT_EQ(msg["parts"][1]["filename"].asString(), "data.bin");
    EXPECT_EQ(str::base64::Decode(msg["parts"][1]["data"].asString()), bytes);

    // A refused login is the command's failure, with libcurl's reason.
    testutil::WriteFile(dir / "password", "wrong\n");
    const Result refused = Vux("mail send " + server + " --from robot@example.test --to a@example.test", "x");
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.out, "not sent: Login denied\n");
    EXPECT_EQ(smtp.Received().size(), 1u);
    EXPECT_EQ(Vux("mail send --smtp 127.0.0.1 --from a@b.test --to c@d.test").code, 2);
    EXPECT_EQ(Vux("mail send --smtp 127.0.0.1:25 --to c@d.test").code, 2);
}

TEST(MailTool, FetchesALinePerMessage) {
    if (!peers::Dovecot::Missing().empty()) GTEST_SKIP() << peers::Dovecot::Missing();
    peers::Dovecot dovecot;
    testutil::TempDir dir;
    testutil::WriteFile(dir / "password", std::string(peers::Dovecot::kPassword) + "\n");
    dovecot.Deliver("From: Ann <ann@example.test>\r\nSubject: =?utf-8?B?0J/RgNC40LLQtdGC?=\r\nMIME-Version: 1.0\r\n"
                    "Content-Type: multipart/mixed; boundary=XX\r\n\r\n--XX\r\nContent-Type: text/plain; "
                    "charset=utf-8\r\n\r\nhello\r\n--XX\r\nContent-Type: application/octet-stream\r\n"
                    "Content-Disposition: attachment; filename=\"a.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
                    "AAECAw==\r\n--XX--\r\n");
    const std::string login = " --host 127.0.0.1 --user " + std::string(peers::Dovecot::kUser) + " --password-file '" +
                              (dir / "password") + "'";

    const std::string line = "From: Ann <ann@example.test>; Subject: Привет; text text/plain; charset=\"utf-8\" 5 bytes; "
                             "file a.bin 4 bytes\n";
    Result r = Vux("mail fetch imap --tls --port " + std::to_string(dovecot.imaps_port()) + login);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, line);
    r = Vux("mail fetch imap --port " + std::to_string(dovecot.imap_port()) + login);
    EXPECT_EQ(r.out, "") << "seen now";
    r = Vux("mail fetch pop3 --starttls --delete --port " + std::to_string(dovecot.pop3_port()) + login);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, line);
    EXPECT_TRUE(dovecot.Messages().empty());

    testutil::WriteFile(dir / "password", "wrong\n");
    r = Vux("mail fetch pop3 --port " + std::to_string(dovecot.pop3_port()) + login);
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("email_auth_error"), std::string::npos) << r.out;
    EXPECT_EQ(Vux("mail fetch imap --delete --port 1" + login).code, 2);
    EXPECT_EQ(Vux("mail fetch smtp --port 1" + login).code, 2);
}

TEST(MailTool, TourSendsToItsOwnServer) {
    if (!peers::Smtp::Missing().empty()) GTEST_SKIP() << peers::Smtp::Missing();
    testutil::TempDir tmp;
    testutil::ChDir in(tmp.path());
    const Result tour = Vux("tour");
    EXPECT_EQ(tour.code, 0);
    const std::string::size_type at = tour.out.find("== mail");
    ASSERT_NE(at, std::string::npos) << tour.out;
    const std::string section = tour.out.substr(at, tour.out.find("\n==", at + 1) - at);
    for (const char* line : {").Check()\n      -> 0\n", "Send(message)\n      -> \"\" (sent), MessageId() \"",
                             "Subject()\n      -> \"Резервная копия готова\"\n", "Bcc() (blind copies travel in the envelope only)\n      -> \"\"\n",
                             "-> \"The nightly backup finished.\"\n"})
        EXPECT_NE(section.find(line), std::string::npos) << line << " in\n" << section;
}

}  // namespace
