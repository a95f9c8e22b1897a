#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <libvux/vuxemail.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxhash.h>
#include <libvux/vuxstr.h>

#include "commands.h"

namespace vuxtool {

namespace {

// Mail is outside input: control characters would reach the terminal, a line break would
// fake a line of this listing.
std::string Shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f)
            out += str::Format("\\x%02x", c);
        else
            out += static_cast<char>(c);
    }
    return out;
}

void PrintList(const char* name, const StringVector& list) {
    if (!list.empty()) std::cout << name << ": " << Shown(str::Join(list, ", ")) << "\n";
}

// The headers, the text parts and the attached files of a message file.
int MailParse(const Args& w) {
    if (w.size() != 2) throw Usage{};
    const vux_email::Message m(vux_file::Read(w[1]));
    PrintList("From", m.From());
    if (!m.Sender().empty()) std::cout << "Sender: " << Shown(m.Sender()) << "\n";
    PrintList("To", m.To());
    PrintList("Cc", m.Cc());
    PrintList("Bcc", m.Bcc());
    PrintList("Reply-To", m.ReplyTo());
    if (!m.Subject().empty()) std::cout << "Subject: " << Shown(m.Subject()) << "\n";
    if (!m.MessageId().empty()) std::cout << "Message-ID: " << Shown(m.MessageId()) << "\n";
    PrintList("In-Reply-To", m.InReplyTo());
    PrintList("References", m.References());
    for (const auto& [name, value] : m.Optional()) std::cout << Shown(name) << ": " << Shown(value) << "\n";

    std::vector<vux_email::EmailMsg> texts;
    m.GetEmailMsgList(texts);
    for (const vux_email::EmailMsg& t : texts) {
        std::cout << "\n[text " << Shown(t.type) << ", " << t.text.size() << " bytes]\n" << t.text;
        if (!t.text.empty() && t.text.back() != '\n') std::cout << "\n";
    }
    std::vector<vux_email::EmailFile> files;
    m.GetEmailFileList(files);
    if (!files.empty()) std::cout << "\n";
    for (const vux_email::EmailFile& f : files)
        std::cout << "[file " << Shown(f.name) << ", " << f.data.size()
                  << " bytes, sha256 " << str::hex::Encode(vux_hash::Hash(vux_hash::HashSHA256).Update(f.data).Str()) << "]\n";
    std::cout.flush();
    return std::cout ? 0 : 1;
}

// The password is the first line of a file, kept out of the process list and the history.
std::string ReadPasswordFile(const vux_args::Result& o) {
    if (!o.Has("password-file")) return "";
    std::string password = vux_file::Read(o["password-file"]);
    password.erase(std::min(password.find('\n'), password.size()));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    return password;
}

bool Port(std::string& text) {
    char* end = nullptr;
    const unsigned long p = std::strtoul(text.c_str(), &end, 10);
    return !text.empty() && !*end && text[0] != '-' && p >= 1 && p <= 65535;
}

// Standard input as the text of the message; files as attachments.
int MailSend(const vux_args::Result& o, const Args& w) {
    if (w.size() != 1 || !o.Has("smtp") || !o.Has("from") || !o.Has("to")) throw Usage{};
    const std::string address = o["smtp"];
    const std::string::size_type colon = address.rfind(':');
    std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
    if (colon == std::string::npos || colon == 0 || !Port(port)) throw Usage{"mail send --smtp HOST:PORT ..."};
    if (o.Has("tls") && o.Has("starttls")) throw Usage{};
    const auto secure = o.Has("tls") ? vux_email::SmtpServer::Smtps
                        : o.Has("starttls") ? vux_email::SmtpServer::StartTls : vux_email::SmtpServer::Plain;

    vux_email::Message m;
    m.SetFrom(o["from"]);
    for (int i = 0; i < o.ParamCount("to"); ++i) m.AddTo(o.Param("to", i));
    for (int i = 0; i < o.ParamCount("cc"); ++i) m.AddCc(o.Param("cc", i));
    for (int i = 0; i < o.ParamCount("bcc"); ++i) m.AddBcc(o.Param("bcc", i));
    if (o.Has("subject")) m.SetSubject(o["subject"]);
    m.AddTextMsg(ReadAll(std::cin));
    for (int i = 0; i < o.ParamCount("attach"); ++i) m.AddFileMsg(o.Param("attach", i));

    vux_email::SmtpServer server(address.substr(0, colon), o["user"], ReadPasswordFile(o), std::atoi(port.c_str()),
                                 secure);
    server.SetTimeout(std::strtoul(o["timeout"].c_str(), nullptr, 10));
    const std::string failure = server.Send(m);
    if (!failure.empty()) {
        std::cerr << "not sent: " << failure << "\n";
        return 1;
    }
    std::cout << "sent " << Shown(m.MessageId()) << "\n";
    return std::cout ? 0 : 1;
}

// A line per message: its sender, subject, text parts and attached files.
int MailFetch(const vux_args::Result& o, const Args& w) {
    if (w.size() != 2 || (w[1] != "imap" && w[1] != "pop3") || !o.Has("host") || !o.Has("port") || !o.Has("user"))
        throw Usage{};
    if (o.Has("tls") && o.Has("starttls")) throw Usage{};
    if (o.Has("delete") && w[1] == "imap") throw Usage{"mail fetch imap ...  (IMAP marks what it fetched seen; --delete is for pop3)"};
    const auto secure = o.Has("tls") ? vux_email::IIncomeServer::Ssl
                        : o.Has("starttls") ? vux_email::IIncomeServer::StartTls : vux_email::IIncomeServer::Plain;
    const int port = std::atoi(o["port"].c_str());
    std::unique_ptr<vux_email::IIncomeServer> server;
    if (w[1] == "imap")
        server = std::make_unique<vux_email::ImapServer>(o["host"], o["user"], ReadPasswordFile(o), port, secure);
    else
        server = std::make_unique<vux_email::Pop3Server>(o["host"], o["user"], ReadPasswordFile(o), port,
                                                         o.Has("delete") ? 1 : 0, secure);
    std::vector<std::string> sources;
    server->Get(sources);
    for (const std::string& source : sources) {
        const vux_email::Message m(source);
        const StringVector from = m.From();
        std::cout << "From: " << Shown(str::Join(from, ", ")) << "; Subject: " << Shown(m.Subject());
        std::vector<vux_email::EmailMsg> texts;
        m.GetEmailMsgList(texts);
        for (const vux_email::EmailMsg& t : texts) std::cout << "; text " << Shown(t.type) << " " << t.text.size() << " bytes";
        std::vector<vux_email::EmailFile> files;
        m.GetEmailFileList(files);
        for (const vux_email::EmailFile& f : files) std::cout << "; file " << Shown(f.name) << " " << f.data.size() << " bytes";
        std::cout << "\n";
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

}  // namespace

void MailOptions(vux_args::Args& a) {
    a.AddOption("smtp", 'S', "send: the server, HOST:PORT").SetParam()
        .AddOption("host", 'H', "fetch: the server").SetParam()
        .AddOption("port", 'P', "fetch: the server's port").SetValidator(&Port)
        .AddOption("user", 'u', "the login (send: without it, none)").SetParam()
        .AddOption("password-file", 'p', "the password is the first line of this file").SetParam()
        .AddOption("tls", 'T', "TLS from the first byte (SMTPS, IMAPS, POP3S)")
        .AddOption("starttls", 'X', "a plain connection upgraded with STARTTLS, required")
        .AddOption("from", 'f', "send: the From mailbox").SetParam()
        .AddOption("to", 't', "send: recipients; may be repeated").SetParam().SetMultiple()
        .AddOption("cc", 'c', "send: copies; may be repeated").SetParam().SetMultiple()
        .AddOption("bcc", 'b', "send: blind copies, in the envelope only; may be repeated").SetParam().SetMultiple()
        .AddOption("subject", 'j', "send: the subject").SetParam()
        .AddOption("attach", 'a', "send: a file to attach; may be repeated").SetParam().SetMultiple()
        .AddOption("timeout", 'w', "send: seconds for connecting and for the whole transfer").SetDefault("30")
        .SetValidator(&Port)
        .AddOption("delete", 'd', "fetch pop3: delete what was fetched");
}

// One subcommand of mail handling per function.
int Mail(const Cmdline& c) {
    if (HasUnknownOption(c)) throw Usage{};
    const Args& w = c.args;
    if (!w.empty() && w[0] == "parse") return MailParse(w);
    if (!w.empty() && w[0] == "send") return MailSend(c.options, w);
    if (!w.empty() && w[0] == "fetch") return MailFetch(c.options, w);
    throw Usage{};
}

}  // namespace vuxtool
