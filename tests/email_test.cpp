// Mail messages: what the library writes is read back by Python's email package, and what
// Python (and mpack) write is taken apart by the library; hostile mail must not bring it down.
#include <libvux/vuxemail.h>

#include <json/json.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include <libvux/vuxfile.h>
#include <libvux/vuxstr.h>

#include "test_util.h"

namespace {

using testutil::ReadFile;
using testutil::TempDir;
using testutil::WriteFile;
using vux_email::EmailFile;
using vux_email::EmailMsg;
using vux_email::Message;

const std::string kCorpusScript = std::string(VUX_SOURCE_DIR) + "/tests/mail_corpus.py";

Json::Value ParseJson(const std::string& text) {
    Json::Value v;
    std::istringstream in(text);
    std::string errors;
    Json::CharReaderBuilder builder;
    if (!Json::parseFromStream(builder, in, &v, &errors)) throw std::runtime_error("json: " + errors + "\n" + text);
    return v;
}

// What Python's email package reads in `text`; decoded parts are files in `dir`.
Json::Value PythonReads(const std::string& text, const TempDir& dir) {
    WriteFile(dir / "msg.eml", text);
    int code = -1;
    const std::string out = testutil::ShellOutput(
        "python3 " + kCorpusScript + " describe " + dir / "msg.eml" + " " + dir.path(), &code);
    if (code != 0) throw std::runtime_error("python3: " + out);
    return ParseJson(out);
}

StringVector Pairs(const Json::Value& list) {
    StringVector out;
    for (const Json::Value& a : list) out.push_back(a[0].asString() + "|" + a[1].asString());
    return out;
}

std::string Word(const std::string& chunk) { return "=?utf-8?B?" + str::base64::Encode(chunk) + "?="; }

TEST(EmailSubject, ChunksOfAtMost44BytesJoinedByOneSpaceTheLastByTwo) {
    EXPECT_EQ(vux_email::MakeValidSubject(""), "");
    const std::string a44(44, 'a');
    EXPECT_EQ(vux_email::MakeValidSubject(a44), Word(a44));
    EXPECT_EQ(vux_email::MakeValidSubject(a44 + "b"), Word(a44) + "  " + Word("b"));
    const std::string b44(44, 'b'), c44(44, 'c');
    EXPECT_EQ(vux_email::MakeValidSubject(a44 + b44 + c44), Word(a44) + " " + Word(b44) + "  " + Word(c44));
    // A character that would cross the limit starts the next word whole.
    const std::string a43(43, 'a');
    EXPECT_EQ(vux_email::MakeValidSubject(a43 + "\xc3\xa9x"), Word(a43) + "  " + Word("\xc3\xa9x"));
    EXPECT_EQ(vux_email::MakeValidSubject(a43 + "\xe2\x82\xac"), Word(a43) + "  " + Word("\xe2\x82\xac"));
    // Characters beyond the BMP are four bytes and are not split either.
    const std::string emoji = "\xf0\x9f\x93\xa7";
    EXPECT_EQ(vux_email::MakeValidSubject(std::string(42, 'a') + emoji), Word(std::string(42, 'a')) + "  " + Word(emoji));
}

TEST(EmailSubject, SubjectDecodesBackToTheText) {
    const std::string text = "\xd0\x9e\xd1\x82\xd1\x87\xd1\x91\xd1\x82 \xe2\x84\x96 5 \xf0\x9f\x93\xa7 "
                             "about the quarterly numbers, with a long tail of words to make three chunks";
    Message m;
    m.SetSubject(text);
    EXPECT_EQ(m.Subject(), text);
}

// Files of the sizes around base64's line of 57 input bytes, and one large one.
struct Attachments {
    TempDir dir;
    std::vector<std::pair<std::string, std::string>> files;  // path, bytes
    Attachments() {
        const std::size_t sizes[] = {0, 1, 57, 58, 5 * 1024 * 1024};
        for (std::size_t n : sizes) {
            const std::string path = dir / ("f" + std::to_string(n) + ".bin");
            files.emplace_back(path, testutil::RandomBytes(n, static_cast<unsigned>(n) + 11));
            WriteFile(path, files.back().second);
        }
    }
};

TEST(EmailCompose, PythonReadsHeadersPartsAndAttachmentsAsComposed) {
    Attachments att;
    const std::string subject = "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82, "
                                "\xe4\xb8\x96\xe7\x95\x8c \xf0\x9f\x8c\x8d and a subject long enough to fold twice over";
    const std::string plain = "First line\nSecond line \xe2\x80\x94 \xc3\xa9t\xc3\xa9\n";
    const std::string html = "<p>\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82</p>";
    Message m;
    m.SetFrom("Alice Example <alice@example.com>, bob@example.com")
        .SetSender("Mail Robot", "robot@example.com")
        .SetTo("\"Doe, John\" <john@example.org>, jane@example.org")
        .AddTo("Third <third@example.net>")
        .SetCc("cc@example.com")
        .SetBcc("Hidden <bcc@example.com>")
        .SetReplyTo("replies@example.com")
        .SetInReplyTo({"first@example.com"})
        .AddReferences("r1@example.com")
        .AddReferences("r2@example.com")
        .SetSubject(subject)
        .AddOptional("X-Mailer", "old")
        .AddOptional("X-Mailer", "libvux")
        .AddOptional("X-Priority", "1")
        .AddTextMsg(plain)
        .AddTextMsg(html, "text/html");
    for (const auto& [path, bytes] : att.files) m.AddFileMsg(path);
    m.AddFileMsg(att.files[2].first, "image/png", "picture.png");

    TempDir dir;
    const std::string text = m.Str();
    const Json::Value py = PythonReads(text, dir);

    EXPECT_EQ(py["subject"].asString(), subject);
    EXPECT_EQ(Pairs(py["from"]), (StringVector{"Alice Example|alice@example.com", "|bob@example.com"}));
    EXPECT_EQ(Pairs(py["sender"]), (StringVector{"Mail Robot|robot@example.com"}));
    EXPECT_EQ(Pairs(py["to"]),
              (StringVector{"Doe, John|john@example.org", "|jane@example.org", "Third|third@example.net"}));
    EXPECT_EQ(Pairs(py["cc"]), (StringVector{"|cc@example.com"}));
    EXPECT_EQ(Pairs(py["bcc"]), (StringVector{"Hidden|bcc@example.com"}));
    EXPECT_EQ(Pairs(py["reply_to"]), (StringVector{"|replies@example.com"}));
    ASSERT_FALSE(m.MessageId().empty());
    EXPECT_EQ(py["message_id"].asString(), "<" + m.MessageId() + ">");
    EXPECT_EQ(py["in_reply_to"].asString(), "<first@example.com>");
    EXPECT_EQ(py["references"].asString(), "<r1@example.com> <r2@example.com>");
    EXPECT_EQ(py["extra"]["X-Mailer"].asString(), "libvux");
    EXPECT_EQ(py["extra"]["X-Priority"].asString(), "1");
    EXPECT_EQ(py["mime_version"].asString(), "1.0");
    for (const Json::Value& name : py["header_names"]) EXPECT_NE(str::Lower(name.asString()), "date");
    EXPECT_TRUE(py["defects"].empty()) << text.substr(0, 2000);

    ASSERT_EQ(py["parts"].size(), 2 + att.files.size() + 1);
    const Json::Value& parts = py["parts"];
    EXPECT_EQ(parts[0]["type"].asString(), "text/plain");
    EXPECT_EQ(parts[1]["type"].asString(), "text/html");
    EXPECT_EQ(ReadFile(parts[0]["file"].asString()), plain);
    EXPECT_EQ(ReadFile(parts[1]["file"].asString()), html);
    for (Json::ArrayIndex i = 0; i < parts.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(parts[i]["charset"].asString(), "utf-8");
        EXPECT_EQ(str::Lower(parts[i]["cte"].asString()), "base64");
        if (i < 2) {
            EXPECT_TRUE(parts[i]["filename"].isNull());
        } else if (i < 2 + att.files.size()) {
            const auto& [path, bytes] = att.files[i - 2];
            EXPECT_EQ(parts[i]["type"].asString(), "application/octet-stream");
            EXPECT_EQ(parts[i]["disposition"].asString(), "attachment");
            EXPECT_EQ(parts[i]["filename"].asString(), vux_file::SplitPath(path).second);
            EXPECT_TRUE(ReadFile(parts[i]["file"].asString()) == bytes) << "size " << bytes.size();
        }
    }
    EXPECT_EQ(parts[parts.size() - 1]["type"].asString(), "image/png");
    EXPECT_EQ(parts[parts.size() - 1]["filename"].asString(), "picture.png");
    EXPECT_TRUE(ReadFile(parts[parts.size() - 1]["file"].asString()) == att.files[2].second);
}

TEST(EmailCompose, SinglePartIsTheBodyAndTheMessageIdIsKept) {
    Message m;
    m.SetFrom("a@example.com").SetTo("b@example.com").AddTextMsg("only text\n");
    EXPECT_EQ(m.MessageId(), "");
    const std::string first = m.Str();
    const std::string id = m.MessageId();
    EXPECT_NE(id, "");
    EXPECT_EQ(m.Str(), first);
    EXPECT_EQ(m.MessageId(), id);

    TempDir dir;
    const Json::Value py = PythonReads(first, dir);
    ASSERT_EQ(py["parts"].size(), 1u);
    EXPECT_EQ(py["parts"][0]["type"].asString(), "text/plain");
    EXPECT_EQ(ReadFile(py["parts"][0]["file"].asString()), "only text\n");
    EXPECT_EQ(py["message_id"].asString(), "<" + id + ">");

    Message given;
    given.SetMessageId("fixed.1@example.com").AddTextMsg("x");
    EXPECT_NE(given.Str().find("Message-ID: <fixed.1@example.com>"), std::string::npos);
    EXPECT_EQ(given.MessageId(), "fixed.1@example.com");
}

TEST(EmailCompose, LineBreaksInHeaderTextsDoNotStartHeaders) {
    TempDir files;
    WriteFile(files / "a.txt", "data");
    Message m;
    m.SetFrom("Evil\r\nBcc: victim@example.com", "a@example.com")
        .AddOptional("X-Note", "one\r\nBcc: victim@example.com")
        .AddFileMsg(files / "a.txt", "text/plain", "a.txt\"\r\nBcc: victim@example.com")
        .AddTextMsg("body");
    TempDir dir;
    const Json::Value py = PythonReads(m.Str(), dir);
    EXPECT_TRUE(py["bcc"].isNull());
    for (const Json::Value& name : py["header_names"]) EXPECT_NE(str::Lower(name.asString()), "bcc");
    EXPECT_NE(py["extra"]["X-Note"].asString().find("Bcc: victim@example.com"), std::string::npos);
    EXPECT_EQ(py["from"][0][1].asString(), "a@example.com");
}

TEST(EmailCompose, AnAttachmentThatCannotBeReadThrows) {
    TempDir dir;
    Message m;
    m.AddTextMsg("x").AddFileMsg(dir / "missing.bin");
    EXPECT_EQ(testutil::ErrorKindOf([&] { m.Str(); }), "file/open_r/report");
    Message d;
    d.AddFileMsg(dir.path());
    EXPECT_EQ(testutil::ErrorKindOf([&] { d.Str(); }), "file/not_file/report");
}

TEST(EmailHeaders, ReadersGiveOneEntryPerMailbox) {
    Message m;
    EXPECT_TRUE(m.From().empty());
    EXPECT_TRUE(m.To().empty());
    EXPECT_EQ(m.Sender(), "");
    m.SetFrom("Alice <alice@example.com>, bob@example.com");
    EXPECT_EQ(m.From(), (StringVector{"Alice <alice@example.com>", "bob@example.com"}));
    EXPECT_EQ(m.From(true), (StringVector{"alice@example.com", "bob@example.com"}));
    m.AddFrom("carol@example.com");
    EXPECT_EQ(m.From(true).size(), 3u);
    m.SetFrom("Dave", "dave@example.com");
    EXPECT_EQ(m.From(), (StringVector{"Dave <dave@example.com>"}));

    m.SetSender("robot@example.com");
    EXPECT_EQ(m.Sender(), "<robot@example.com>");
    m.SetSender("Robot <robot@example.com>");
    EXPECT_EQ(m.Sender(), "Robot <robot@example.com>");

    // Groups give their members.
    m.SetTo("Team: a@example.com, B <b@example.com>;, c@example.com");
    EXPECT_EQ(m.To(), (StringVector{"a@example.com", "B <b@example.com>", "c@example.com"}));
    m.SetTo("Only", "only@example.com");
    EXPECT_EQ(m.To(true), (StringVector{"only@example.com"}));

    // An unparsable To throws; the others ignore it and keep what they had.
    // (libetpan takes almost any word for an address; empty lists and trailing junk it does not.)
    EXPECT_EQ(testutil::ErrorOf([&] { m.AddTo(",,,"); }), "email/mailimf_address_list_add_parse/,,,");
    EXPECT_EQ(testutil::ErrorOf([&] { m.AddTo("x@example.com ,,, @@"); }),
              "email/mailimf_address_list_add_parse/x@example.com ,,, @@");
    EXPECT_EQ(m.To(true), (StringVector{"only@example.com"}));
    EXPECT_EQ(testutil::ErrorOf([&] { m.SetTo(""); }), "email/mailimf_address_list_add_parse/");
    m.SetCc("cc@example.com");
    m.AddCc(",,,");
    m.AddCc("dd@example.com ,,, @@");
    EXPECT_EQ(m.Cc(), (StringVector{"cc@example.com", "dd@example.com"}));
    m.SetBcc(",,,");
    EXPECT_TRUE(m.Bcc().empty());
    m.AddReplyTo("r@example.com").AddReplyTo("s@example.com");
    EXPECT_EQ(m.ReplyTo(), (StringVector{"r@example.com", "s@example.com"}));

    m.SetInReplyTo({"a@x", "b@x"}).AddInReplyTo("c@x");
    EXPECT_EQ(m.InReplyTo(), (StringVector{"a@x", "b@x", "c@x"}));
    m.SetReferences({});
    EXPECT_TRUE(m.References().empty());

    // Copies share the message.
    Message copy = m;
    copy.AddOptional("X-A", "1");
    EXPECT_EQ(m.Optional().at("X-A"), "1");
    EXPECT_EQ(m.Optional("X-Absent"), "");
    EXPECT_EQ(m.Optional().count("X-Absent"), 1u);
}

TEST(EmailHeaders, CheckResultIsTrueOnlyForZero) {
    EXPECT_TRUE(vux_email::CheckResult(0));
    EXPECT_FALSE(vux_email::CheckResult(3, [](int) { return "three"; }));
}

// ---- Taking mail apart ----

struct Corpus {
    TempDir dir;
    StringVector names;
    Corpus() {
        int code = -1;
        const std::string out = testutil::ShellOutput("python3 " + kCorpusScript + " build " + dir.path(), &code);
        if (code != 0) throw std::runtime_error("corpus: " + out);
        str::Split(out, "\n", names);
    }
};

std::string TypeOnly(const std::string& type) { return str::Lower(type.substr(0, type.find(';'))); }

TEST(EmailParse, TextPartsAndFilesAsPythonReadsThem) {
    Corpus corpus;
    ASSERT_GE(corpus.names.size(), 10u);
    for (const std::string& name : corpus.names) {
        SCOPED_TRACE(name);
        const Json::Value want = ParseJson(ReadFile(corpus.dir / (name + ".json")));
        const Message m(ReadFile(corpus.dir / (name + ".eml")));
        std::vector<EmailMsg> texts;
        std::vector<EmailFile> files;
        m.GetEmailMsgList(texts);
        m.GetEmailFileList(files);
        ASSERT_EQ(texts.size(), want["texts"].size());
        for (Json::ArrayIndex i = 0; i < texts.size(); ++i) {
            EXPECT_EQ(TypeOnly(texts[i].type), want["texts"][i][0].asString());
            if (!want["texts"][i][1].isNull()) {
                EXPECT_NE(texts[i].type.find("; charset=\"" + want["texts"][i][1].asString() + "\""), std::string::npos)
                    << texts[i].type;
            }
            EXPECT_EQ(texts[i].text, want["texts"][i][2].asString());
        }
        ASSERT_EQ(files.size(), want["files"].size());
        for (Json::ArrayIndex i = 0; i < files.size(); ++i) {
            EXPECT_EQ(files[i].name, want["files"][i][0].asString());
            EXPECT_TRUE(files[i].data == ReadFile(want["files"][i][1].asString())) << files[i].name;
        }
    }
}

TEST(EmailParse, HeadersOfAParsedMessage) {
    const std::string source =
        "Return-Path: <bounce@example.com>\r\n"
        "Date: Tue, 1 Dec 2026 10:00:00 +0000\r\n"
        "From: =?utf-8?B?0JjQstCw0L0=?= <ivan@example.ru>, plain@example.com\r\n"
        "Sender: Robot <robot@example.com>\r\n"
        "To: a@example.com, \"B, Bee\" <b@example.com>\r\n"
        "Cc: c@example.com\r\n"
        "Reply-To: r@example.com\r\n"
        "Message-ID: <id.1@example.com>\r\n"
        "In-Reply-To: <parent@example.com>\r\n"
        "References: <root@example.com> <parent@example.com>\r\n"
        "Subject: =?koi8-r?B?8NLJ18XU?= and\r\n =?utf-8?Q?caf=C3=A9?=\r\n"
        "X-Mailer: Test 1.0\r\n"
        "\r\n"
        "body\r\n";
    const Message m(source);
    EXPECT_EQ(m.From(true), (StringVector{"ivan@example.ru", "plain@example.com"}));
    EXPECT_EQ(m.From()[0], "=?utf-8?B?0JjQstCw0L0=?= <ivan@example.ru>");
    EXPECT_EQ(m.Sender(), "Robot <robot@example.com>");
    EXPECT_EQ(m.To(), (StringVector{"a@example.com", "B, Bee <b@example.com>"}));
    EXPECT_EQ(m.Cc(), (StringVector{"c@example.com"}));
    EXPECT_EQ(m.ReplyTo(), (StringVector{"r@example.com"}));
    EXPECT_EQ(m.MessageId(), "id.1@example.com");
    EXPECT_EQ(m.InReplyTo(), (StringVector{"parent@example.com"}));
    EXPECT_EQ(m.References(), (StringVector{"root@example.com", "parent@example.com"}));
    EXPECT_EQ(m.Subject(), "\xd0\x9f\xd1\x80\xd0\xb8\xd0\xb2\xd0\xb5\xd1\x82 and caf\xc3\xa9");
    EXPECT_EQ(m.Optional().at("X-Mailer"), "Test 1.0");
    EXPECT_EQ(m.Optional().count("Date"), 0u);
    std::vector<EmailMsg> texts;
    m.GetEmailMsgList(texts);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, "body\n");
}

TEST(EmailParse, ComposedThenParsedGivesTheSameMessage) {
    TempDir dir;
    const std::string bytes = testutil::RandomBytes(3000, 5);
    WriteFile(dir / "blob.bin", bytes);
    Message m;
    const std::string subject = "R\xc3\xa9sum\xc3\xa9 \xe2\x80\x94 \xd0\xbe\xd1\x82\xd1\x87\xd1\x91\xd1\x82";
    m.SetFrom("Alice <alice@example.com>")
        .SetTo("b@example.com, c@example.com")
        .SetSubject(subject)
        .AddReferences("r@x")
        .AddTextMsg("line one\nline two\n")
        .AddFileMsg(dir / "blob.bin", "application/octet-stream", "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.bin");
    const Message back(m.Str());
    EXPECT_EQ(back.Subject(), subject);
    EXPECT_EQ(back.From(), m.From());
    EXPECT_EQ(back.To(true), m.To(true));
    EXPECT_EQ(back.MessageId(), m.MessageId());
    EXPECT_EQ(back.References(), (StringVector{"r@x"}));
    std::vector<EmailMsg> texts;
    std::vector<EmailFile> files;
    back.GetEmailMsgList(texts);
    back.GetEmailFileList(files);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, "line one\nline two\n");
    EXPECT_EQ(texts[0].type, "text/plain; charset=\"utf-8\"");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "\xd1\x84\xd0\xb0\xd0\xb9\xd0\xbb.bin");
    EXPECT_TRUE(files[0].data == bytes);

    // A parsed message renders again with its parts, and without doubled MIME headers.
    TempDir pydir;
    const std::string again = back.Str();
    const Json::Value py = PythonReads(again, pydir);
    EXPECT_EQ(py["subject"].asString(), subject);
    int content_types = 0;
    for (const Json::Value& name : py["header_names"]) content_types += str::Lower(name.asString()) == "content-type";
    EXPECT_EQ(content_types, 1);
    ASSERT_EQ(py["parts"].size(), 2u);
    EXPECT_EQ(ReadFile(py["parts"][0]["file"].asString()), "line one\nline two\n");
    EXPECT_TRUE(ReadFile(py["parts"][1]["file"].asString()) == bytes);
    // The parsed message's own parts are still whole after rendering.
    files.clear();
    back.GetEmailFileList(files);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_TRUE(files[0].data == bytes);
}

TEST(EmailParse, UnknownCharsetKeepsTheTextAndSlashesStayInNames) {
    const std::string source =
        "From: a@example.com\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"q\"\r\n\r\n"
        "--q\r\nContent-Type: text/plain; charset=\"x-no-such-charset-42\"\r\n\r\nkept as it is\r\n"
        "--q\r\nContent-Type: application/octet-stream\r\nContent-Disposition: attachment; "
        "filename=\"../../etc/cron.d/x\"\r\n\r\nfile body\r\n--q--\r\n";
    const Message m(source);
    std::vector<EmailMsg> texts;
    std::vector<EmailFile> files;
    m.GetEmailMsgList(texts);
    m.GetEmailFileList(files);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].text, "kept as it is");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].name, "../../etc/cron.d/x");
    EXPECT_EQ(files[0].data, "file body");
}

// What a hostile message gives is not checked beyond sanity: it must not crash, hang or throw
// anything but the library's error.
void TakeApart(const std::string& source, std::size_t* texts_out = nullptr, std::size_t* files_out = nullptr) {
    try {
        const Message m(source);
        std::vector<EmailMsg> texts;
        std::vector<EmailFile> files;
        m.GetEmailMsgList(texts);
        m.GetEmailFileList(files);
        (void)m.Subject();
        (void)m.From();
        (void)m.To();
        if (texts_out) *texts_out = texts.size();
        if (files_out) *files_out = files.size();
    } catch (const vux_err::Error&) {
    }
}

TEST(EmailParse, MalformedMailGivesWhatItCanWithoutCrashing) {
    std::size_t texts = 0, files = 0;
    TakeApart("");
    TakeApart("From: a@example.com\r\nSubject: trunc");
    TakeApart("From: a@exa");
    TakeApart(std::string("\0\0\0\xff\xfe", 5));
    TakeApart("Subject: " + std::string(10 * 1024 * 1024, 'x') + "\r\n\r\nbody\r\n", &texts);
    EXPECT_EQ(texts, 1u);
    TakeApart(
        "Content-Type: multipart/mixed; boundary=\"never\"\r\n\r\n--never\r\nContent-Type: text/plain\r\n\r\n"
        "text without an end\r\n--never\r\nContent-Type: text/plain\r\n\r\nsecond",
        &texts);
    EXPECT_GE(texts, 1u);
    TakeApart("Content-Type: application/octet-stream; name=\"a.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
              "!!!!not base64 at all$$$$\r\n====\r\n",
              nullptr, &files);
    EXPECT_EQ(files, 1u);
    TakeApart("Content-Type: multipart/mixed; boundary=\"\"\r\n\r\n----\r\n\r\n------\r\n");
    TakeApart("Content-Type: text/plain; charset=\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n=\r\n=4=ZZ=");
    TakeApart("Content-Disposition: attachment; filename*0*=utf-8'';filename*9999*=%;filename*=''%%%\r\n\r\nx");
    std::string deep;
    for (int i = 0; i < 2000; ++i) deep += "Content-Type: multipart/mixed; boundary=\"b" + std::to_string(i) + "\"\r\n\r\n--b" + std::to_string(i) + "\r\n";
    TakeApart(deep);
}

}  // namespace

namespace {

TEST(EmailTool, MailParseListsHeadersTextsAndFiles) {
    TempDir dir;
    const std::string bytes = testutil::RandomBytes(100, 9);
    WriteFile(dir / "a.bin", bytes);
    vux_email::Message m;
    m.SetFrom("Alice <alice@example.com>")
        .SetTo("bob@example.com")
        .SetSubject("Gr\xc3\xbc\xc3\x9f" "e")
        .AddOptional("X-Tag", "one")
        .AddTextMsg("hello\nworld\n")
        .AddFileMsg(dir / "a.bin", "application/octet-stream", "x\x01y.bin");
    WriteFile(dir / "m.eml", m.Str());
    int code = -1;
    const std::string out = testutil::ShellOutput(std::string("'") + VUX_TOOL + "' mail parse '" + dir / "m.eml" + "'", &code);
    EXPECT_EQ(code, 0) << out;
    EXPECT_NE(out.find("From: Alice <alice@example.com>\n"), std::string::npos) << out;
    EXPECT_NE(out.find("To: bob@example.com\n"), std::string::npos) << out;
    EXPECT_NE(out.find("Subject: Gr\xc3\xbc\xc3\x9f" "e\n"), std::string::npos) << out;
    EXPECT_NE(out.find("X-Tag: one\n"), std::string::npos) << out;
    EXPECT_NE(out.find("[text text/plain; charset=\"utf-8\", 12 bytes]\nhello\nworld\n"), std::string::npos) << out;
    const std::string sha = testutil::ShellOutput("sha256sum '" + dir / "a.bin" + "'", nullptr).substr(0, 64);
    EXPECT_NE(out.find("[file x\\x01y.bin, 100 bytes, sha256 " + sha + "]"), std::string::npos) << out;

    testutil::ShellOutput(std::string("'") + VUX_TOOL + "' mail parse", &code);
    EXPECT_EQ(code, 2);
}

}  // namespace
