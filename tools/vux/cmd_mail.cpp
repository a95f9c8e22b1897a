#include <iostream>

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

}  // namespace

// One subcommand of mail handling per function.
int Mail(const Cmdline& c) {
    if (HasUnknownOption(c)) throw Usage{};
    const Args& w = c.args;
    if (!w.empty() && w[0] == "parse") return MailParse(w);
    throw Usage{};
}

}  // namespace vuxtool
