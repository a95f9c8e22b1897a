// E-mail: composing messages and taking received ones apart (libetpan's message and MIME
// model), sending through SMTP (libcurl), and reading POP3 and IMAP mailboxes (libetpan).
#ifndef LIBVUX_VUXEMAIL_H
#define LIBVUX_VUXEMAIL_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace vux_email {

// Type "email", the given object and value.
class Fail : public vux_err::Error {
public:
    Fail(const std::string& object, const std::string& value);
};

// One text part of a received message: its content type with its parameters
// ("text/plain; charset=\"koi8-r\"") and its text in UTF-8 with "\n" line ends.
struct EmailMsg {
    std::string type;
    std::string text;
};

// One attached file of a received message: its name in UTF-8 and its decoded bytes.
struct EmailFile {
    std::string name;
    std::string data;
};

// A message handle: copies share one message. Setters return the message for chaining.
class Message {
public:
    struct VUX_INTERNAL Implementation;

    // An empty message; every part added is announced as "utf-8".
    Message();
    // Parses an RFC 5322 message with its MIME structure; the source is kept for the part
    // readers. Malformed input gives what could be parsed, never a crash; input libetpan cannot
    // take at all throws Fail "parse".
    explicit Message(const std::string& source);

    // Mailbox lists, "Name <a@b>, c@d". SetFrom clears From first, AddFrom appends.
    Message& SetFrom(const std::string& text);
    Message& AddFrom(const std::string& text);
    // One mailbox with the display name and the address as given.
    Message& SetFrom(const std::string& name, const std::string& address);
    Message& SetSender(const std::string& text);
    Message& SetSender(const std::string& name, const std::string& address);
    // A To text that does not parse whole (an empty one too) throws Fail
    // "mailimf_address_list_add_parse" (value: text) and adds nothing.
    Message& SetTo(const std::string& text);
    Message& AddTo(const std::string& text);
    Message& SetTo(const std::string& name, const std::string& address);
    // Reply-To, Cc and Bcc ignore a text that does not parse, keeping what parsed before the fault.
    Message& SetReplyTo(const std::string& text);
    Message& AddReplyTo(const std::string& text);
    Message& SetCc(const std::string& text);
    Message& AddCc(const std::string& text);
    Message& SetBcc(const std::string& text);
    Message& AddBcc(const std::string& text);
    // Message ids without angle brackets.
    Message& SetInReplyTo(const StringVector& ids);
    Message& AddInReplyTo(const std::string& id);
    Message& SetReferences(const StringVector& ids);
    Message& AddReferences(const std::string& id);
    // Stored as MakeValidSubject(text).
    Message& SetSubject(const std::string& text);
    // Without angle brackets.
    Message& SetMessageId(const std::string& id);
    // Any other header; an existing one of the name is overwritten. Line breaks in header texts
    // are written as spaces.
    Message& AddOptional(const std::string& name, const std::string& value);
    // A base64 body part of the given type with charset "utf-8"; a type libetpan cannot read
    // throws Fail "content_type".
    Message& AddTextMsg(const std::string& text, const std::string& type = "text/plain");
    // An attachment read from `path` when the message is rendered, named `name` or, when that
    // is empty, after the last component of the path.
    Message& AddFileMsg(const std::string& path, const std::string& type = "application/octet-stream",
                        const std::string& name = "");

    // One entry per mailbox in header order: the bare address when `bare` or when there is no
    // display name, else "name <address>"; empty entries are skipped.
    StringVector From(bool bare = false) const;
    StringVector To(bool bare = false) const;
    StringVector Cc(bool bare = false) const;
    StringVector Bcc(bool bare = false) const;
    StringVector ReplyTo(bool bare = false) const;
    // "name <address>", "<address>" without a name, "" without a Sender.
    std::string Sender() const;
    // Decoded into UTF-8; the stored text when it does not decode.
    std::string Subject() const;
    std::string MessageId() const;
    StringVector InReplyTo() const;
    StringVector References() const;
    const StringMap& Optional() const;
    // The value; an absent name gets an empty entry.
    std::string Optional(const std::string& name);

    // The whole message as text; generates and keeps a message id when there is none. No Date
    // header is written. An attachment that cannot be read throws vux_file::Fail ("open_r", or
    // "not_file" for what is not a regular file).
    std::string Str() const;

    // Append the text parts and the attached files of a parsed message (nothing for a composed
    // one). Texts in a charset the converter does not know are kept as they are; file names are
    // decoded (RFC 2047 words, RFC 2231 parameters) but are only data: they may hold "/".
    void GetEmailMsgList(std::vector<EmailMsg>& out) const;
    void GetEmailFileList(std::vector<EmailFile>& out) const;

private:
    std::shared_ptr<Implementation> m_impl;
};

// The subject as RFC 2047 "B" words in UTF-8 of at most 44 source bytes each, never splitting a
// character; words are joined by one space, the last by two. "" for "".
std::string MakeValidSubject(const std::string& subject);

// True when `code` is 0; logs the code and the describer's text for it at level 9.
bool CheckResult(int code, const char* (*describer)(int) = nullptr);

// SMTP over libcurl. Peer certificates are not verified.
class SmtpServer {
public:
    struct VUX_INTERNAL Implementation;
    enum SecureType { Plain = 0, Smtps = 1, StartTls = 2 };

    // Nothing is connected yet; an empty user or password is not sent. Time-outs are 30 s.
    SmtpServer(const std::string& host, const std::string& user, const std::string& password, int port,
               SecureType secure = Plain);
    // Seconds, for connecting and for the whole transfer.
    SmtpServer& SetTimeout(std::size_t seconds);
    // Connects (and logs in, with credentials) only: libcurl's result code, 0 when reached.
    int Check();
    // "" when sent, else libcurl's text for the failure. The envelope sender is the Sender's
    // address, else the first From address (no From: Fail "no_sender"); the recipients are To, Cc
    // and Bcc. The Bcc header is not transmitted. An envelope address with a line break throws
    // Fail "invalid_address".
    std::string Send(const Message& message);

private:
    std::shared_ptr<Implementation> m_impl;
};

// A mailbox reader.
class IIncomeServer {
public:
    // 0 plain, 1 TLS from the first byte, 2 plain upgraded with STARTTLS.
    enum SecureType { Plain = 0, Ssl = 1, StartTls = 2 };

    virtual ~IIncomeServer();
    // Connects, logs in and appends the source of each message it retrieves.
    virtual void Get(std::vector<std::string>& out) = 0;
    // Connects and logs in; throws when either fails.
    virtual void Check() = 0;
};

// POP3: with read action 1 each retrieved message is deleted on the server. Errors are
// vux_err::Error of the types "email_can_not_create_pop3", "email_connect_error",
// "email_connect_error_tls" and "email_auth_error"; a session that fails after the login
// ("email_pop3_error", object "list", "retr" or "dele") gives nothing and deletes nothing.
class Pop3Server : public IIncomeServer {
public:
    struct VUX_INTERNAL Implementation;

    Pop3Server(const std::string& host, const std::string& user, const std::string& password, int port,
               int read_action, SecureType secure = Plain);
    ~Pop3Server() override;
    void Get(std::vector<std::string>& out) override;
    void Check() override;

private:
    std::shared_ptr<Implementation> m_impl;
};

// IMAP: returns the unseen messages of INBOX and marks them seen once all are in; a session
// that fails gives nothing and marks nothing. Errors are
// vux_err::Error of the types "imap_alloc", "can_not_connect", "can_not_connect_tls",
// "can_not_login", "can_not_select_inbox" and "can_not_fetch", with the parameters "code"
// and "msg" (libetpan's result and its text).
class ImapServer : public IIncomeServer {
public:
    struct VUX_INTERNAL Implementation;

    ImapServer(const std::string& host, const std::string& user, const std::string& password, int port,
               SecureType secure = Plain);
    ~ImapServer() override;
    void Get(std::vector<std::string>& out) override;
    void Check() override;

private:
    std::shared_ptr<Implementation> m_impl;
};

}  // namespace vux_email

VUX_API_END

#endif
