#include <libvux/vuxemail.h>

#include <libetpan/libetpan.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxthread.h>

VUX_LOG_MODULE("gateway", "core")

// The drivers' own mappings of protocol results onto the driver codes that maildriver_strerror
// describes; libetpan exports them without installing a header for them.
extern "C" {
int pop3driver_pop3_error_to_mail_error(int error);
int imap_error_to_mail_error(int error);
}

namespace vux_email {

namespace {

// A server that stops answering must not hold the caller's thread for long.
const time_t kTimeout = 60;

const char* Pop3Text(int code) {
    return maildriver_strerror(pop3driver_pop3_error_to_mail_error(code));
}

const char* ImapText(int code) {
    return maildriver_strerror(imap_error_to_mail_error(code));
}

bool ValidPort(int port) {
    return port > 0 && port <= 65535;
}

vux_err::Error ImapFail(const std::string& type, int code) {
    vux_err::Error e(type);
    e.add_param("code", code, vux_access::AccessAll);
    e.add_param("msg", ImapText(code), vux_access::AccessAll);
    return e;
}

// libetpan's response readers go round for ever when the server closes the connection in the
// middle of a response: the end reads as zero bytes, never as an error. A guarded stream reports
// the end as a failure, which ends the session with a stream error.
struct EndFails {
    // First: the stream's driver pointer leads back to the whole record.
    mailstream_low_driver driver;
    mailstream_low_driver* original = nullptr;
};

ssize_t ReadOrFail(mailstream_low* s, void* buf, size_t count) {
    const EndFails* guard = reinterpret_cast<const EndFails*>(s->driver);
    const ssize_t r = guard->original->mailstream_read(s, buf, count);
    return r == 0 ? -1 : r;
}

// Guards the stream's present driver (STARTTLS brings another); `guards` must outlive the stream.
void Guard(mailstream* stream, std::vector<std::unique_ptr<EndFails>>& guards) {
    mailstream_low* low = stream ? mailstream_get_low(stream) : nullptr;
    if (!low || !low->driver || low->driver->mailstream_read == &ReadOrFail) return;
    auto guard = std::make_unique<EndFails>();
    guard->driver = *low->driver;
    guard->original = low->driver;
    guard->driver.mailstream_read = &ReadOrFail;
    low->driver = &guard->driver;
    guards.push_back(std::move(guard));
}

// Owns one fetch result list.
class FetchList {
public:
    FetchList() = default;
    ~FetchList() {
        if (list_) mailimap_fetch_list_free(list_);
    }
    FetchList(const FetchList&) = delete;
    FetchList& operator=(const FetchList&) = delete;
    clist** out() { return &list_; }
    clist* get() const { return list_; }

private:
    clist* list_ = nullptr;
};

// What one FETCH response says of a message.
struct Fetched {
    uint32_t uid = 0;
    bool seen = false;
    bool has_body = false;
    std::string body;
};

Fetched Read(const mailimap_msg_att* att) {
    Fetched f;
    for (clistiter* i = clist_begin(att->att_list); i; i = clist_next(i)) {
        const auto* item = static_cast<const mailimap_msg_att_item*>(clist_content(i));
        if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC && item->att_data.att_dyn &&
            item->att_data.att_dyn->att_list) {
            for (clistiter* j = clist_begin(item->att_data.att_dyn->att_list); j; j = clist_next(j)) {
                const auto* flag = static_cast<const mailimap_flag_fetch*>(clist_content(j));
                if (flag->fl_type == MAILIMAP_FLAG_FETCH_OTHER && flag->fl_flag &&
                    flag->fl_flag->fl_type == MAILIMAP_FLAG_SEEN)
                    f.seen = true;
            }
        } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static) {
            const mailimap_msg_att_static* s = item->att_data.att_static;
            if (s->att_type == MAILIMAP_MSG_ATT_UID) {
                f.uid = s->att_data.att_uid;
            } else if (s->att_type == MAILIMAP_MSG_ATT_BODY_SECTION && s->att_data.att_body_section) {
                const mailimap_msg_att_body_section* b = s->att_data.att_body_section;
                f.has_body = true;
                if (b->sec_body_part) f.body.assign(b->sec_body_part, b->sec_length);
            }
        }
    }
    return f;
}

}  // namespace

IIncomeServer::~IIncomeServer() = default;

// ---------------------------------------------------------------------------------------------
// POP3

struct Pop3Server::Implementation {
    std::string host;
    std::string user;
    std::string password;
    int port = 0;
    mailpop3* session = nullptr;
    int read_action = 0;
    SecureType secure = Plain;
    std::vector<std::unique_ptr<EndFails>> guards;

    Implementation() = default;
    ~Implementation() { Drop(); }
    Implementation(const Implementation&) = delete;
    Implementation& operator=(const Implementation&) = delete;

    void Connect();
    // Ends the session with QUIT, which is when the server carries out the deletions.
    void Quit();
    // Ends the session without QUIT, so that messages marked for deletion stay on the server.
    void Drop();
};

void Pop3Server::Implementation::Connect() {
    Drop();
    session = mailpop3_new(0, nullptr);
    if (!session) throw vux_err::Error("email_can_not_create_pop3");
    mailpop3_set_timeout(session, kTimeout);

    vux_thread::SetStateC("pop3");
    if (!ValidPort(port)) throw vux_err::Error("email_connect_error");
    const uint16_t p = static_cast<uint16_t>(port);
    if (secure == Plain || secure == StartTls) {
        if (!CheckResult(mailpop3_socket_connect(session, host.c_str(), p), &Pop3Text))
            throw vux_err::Error("email_connect_error");
        Guard(session->pop3_stream, guards);
        if (secure == StartTls && !CheckResult(mailpop3_socket_starttls(session), &Pop3Text))
            throw vux_err::Error("email_connect_error_tls");
    } else if (!CheckResult(mailpop3_ssl_connect(session, host.c_str(), p), &Pop3Text)) {
        throw vux_err::Error("email_connect_error");
    }
    Guard(session->pop3_stream, guards);

    if (!CheckResult(mailpop3_user(session, user.c_str()), &Pop3Text) ||
        !CheckResult(mailpop3_pass(session, password.c_str()), &Pop3Text))
        throw vux_err::Error("email_auth_error");
    VUX_LOG(VuxLogModule(), 9, "%s:%d Auth response: %s", "vuxemail_mailbox", __LINE__,
            session->pop3_response ? session->pop3_response : "");
}

void Pop3Server::Implementation::Quit() {
    if (!session) return;
    vux_thread::SetStateC("pop3");
    const int rc = mailpop3_quit(session);
    if (rc != MAILPOP3_NO_ERROR)
        VUX_LOG(VuxLogModule(), 4, "%s:%d QUIT failed: %d: %s", "vuxemail_mailbox", __LINE__, rc, Pop3Text(rc));
    Drop();
}

void Pop3Server::Implementation::Drop() {
    if (!session) return;
    if (session->pop3_stream) {
        mailstream_close(session->pop3_stream);
        session->pop3_stream = nullptr;
    }
    // Only QUIT frees the message list, and QUIT is what this must not send.
    if (carray* list = session->pop3_msg_tab) {
        for (unsigned i = 0; i < carray_count(list); ++i) {
            auto* info = static_cast<mailpop3_msg_info*>(carray_get(list, i));
            if (!info) continue;
            ::free(info->msg_uidl);
            ::free(info);
        }
        carray_free(list);
        session->pop3_msg_tab = nullptr;
    }
    mailpop3_free(session);
    session = nullptr;
    guards.clear();
}

Pop3Server::Pop3Server(const std::string& host, const std::string& user, const std::string& password, int port,
                       int read_action, SecureType secure)
    : m_impl(std::make_shared<Implementation>()) {
    m_impl->host = host;
    m_impl->user = user;
    m_impl->password = password;
    m_impl->port = port;
    m_impl->read_action = read_action;
    m_impl->secure = secure;
}

Pop3Server::~Pop3Server() = default;

void Pop3Server::Check() {
    try {
        m_impl->Connect();
    } catch (...) {
        m_impl->Drop();
        throw;
    }
    m_impl->Quit();
}

// The messages reach `out` only once all of them are read, and deletions take effect only at
// the QUIT after that: a session that breaks off leaves every message on the server.
void Pop3Server::Get(std::vector<std::string>& out) {
    std::vector<std::string> got;
    try {
        m_impl->Connect();
        mailpop3* s = m_impl->session;
        carray* list = nullptr;
        vux_thread::SetStateC("pop3");
        if (!CheckResult(mailpop3_list(s, &list), &Pop3Text) || !list) throw vux_err::Error("email_pop3_error", "list");
        for (unsigned i = 0; i < carray_count(list); ++i) {
            const auto* info = static_cast<const mailpop3_msg_info*>(carray_get(list, i));
            if (!info || info->msg_deleted) continue;
            char* text = nullptr;
            size_t size = 0;
            vux_thread::SetStateC("pop3");
            if (!CheckResult(mailpop3_retr(s, info->msg_index, &text, &size), &Pop3Text) || !text)
                throw vux_err::Error("email_pop3_error", "retr", std::to_string(info->msg_index));
            got.emplace_back(text, size);
            mailpop3_retr_free(text);
            if (m_impl->read_action == 1) {
                vux_thread::SetStateC("pop3");
                if (!CheckResult(mailpop3_dele(s, info->msg_index), &Pop3Text))
                    throw vux_err::Error("email_pop3_error", "dele", std::to_string(info->msg_index));
                VUX_LOG(VuxLogModule(), 9, "%s:%d Delete response: %s", "vuxemail_mailbox", __LINE__,
                        s->pop3_response ? s->pop3_response : "");
            }
        }
    } catch (...) {
        m_impl->Drop();
        throw;
    }
    m_impl->Quit();
    out.insert(out.end(), got.begin(), got.end());
}

// ---------------------------------------------------------------------------------------------
// IMAP

struct ImapServer::Implementation {
    std::string host;
    std::string user;
    std::string password;
    int port = 0;
    mailimap* session = nullptr;
    SecureType secure = Plain;
    std::vector<std::unique_ptr<EndFails>> guards;

    Implementation() = default;
    ~Implementation() { Drop(); }
    Implementation(const Implementation&) = delete;
    Implementation& operator=(const Implementation&) = delete;

    void Connect();
    void Logout();
    void Drop();
    // Marks the messages of these UIDs seen.
    void MarkSeen(const std::vector<uint32_t>& uids);
};

namespace {

bool Connected(int rc) {
    return rc == MAILIMAP_NO_ERROR || rc == MAILIMAP_NO_ERROR_AUTHENTICATED || rc == MAILIMAP_NO_ERROR_NON_AUTHENTICATED;
}

[[noreturn]] void ConnectFail(const std::string& type, int rc) {
    VUX_LOG(VuxLogModule(), 4, "%s:%d %s: %d: %s", "vuxemail_mailbox", __LINE__, type.c_str(), rc, ImapText(rc));
    throw ImapFail(type, rc);
}

}  // namespace

void ImapServer::Implementation::Connect() {
    Drop();
    session = mailimap_new(0, nullptr);
    if (!session) throw ImapFail("imap_alloc", MAILIMAP_ERROR_MEMORY);
    mailimap_set_timeout(session, kTimeout);

    vux_thread::SetStateC("imap");
    if (!ValidPort(port)) ConnectFail("can_not_connect", MAILIMAP_ERROR_CONNECTION_REFUSED);
    const uint16_t p = static_cast<uint16_t>(port);
    int rc;
    if (secure == Plain || secure == StartTls) {
        rc = mailimap_socket_connect(session, host.c_str(), p);
        CheckResult(rc, &ImapText);
        if (!Connected(rc)) ConnectFail("can_not_connect", rc);
        Guard(session->imap_stream, guards);
        if (secure == StartTls) {
            rc = mailimap_socket_starttls(session);
            CheckResult(rc, &ImapText);
            if (!Connected(rc)) ConnectFail("can_not_connect_tls", rc);
        }
    } else {
        rc = mailimap_ssl_connect(session, host.c_str(), p);
        CheckResult(rc, &ImapText);
        if (!Connected(rc)) ConnectFail("can_not_connect", rc);
    }
    Guard(session->imap_stream, guards);

    rc = mailimap_login(session, user.c_str(), password.c_str());
    if (!CheckResult(rc, &ImapText)) {
        VUX_LOG(VuxLogModule(), 4, "%s:%d login: %d: %s", "vuxemail_mailbox", __LINE__, rc, ImapText(rc));
        throw ImapFail("can_not_login", rc);
    }
    VUX_LOG(VuxLogModule(), 9, "%s:%d connected", "vuxemail_mailbox", __LINE__);
}

void ImapServer::Implementation::Logout() {
    if (!session) return;
    vux_thread::SetStateC("imap");
    const int rc = mailimap_logout(session);
    if (rc != MAILIMAP_NO_ERROR)
        VUX_LOG(VuxLogModule(), 4, "%s:%d logout: %d: %s", "vuxemail_mailbox", __LINE__, rc, ImapText(rc));
    Drop();
}

void ImapServer::Implementation::Drop() {
    if (!session) return;
    mailimap_free(session);
    session = nullptr;
    guards.clear();
}

void ImapServer::Implementation::MarkSeen(const std::vector<uint32_t>& uids) {
    if (uids.empty()) return;
    mailimap_set* set = mailimap_set_new_empty();
    mailimap_flag_list* flags = mailimap_flag_list_new_empty();
    mailimap_flag* seen = mailimap_flag_new_seen();
    if (!set || !flags || !seen || mailimap_flag_list_add(flags, seen) != MAILIMAP_NO_ERROR) {
        if (seen) mailimap_flag_free(seen);
        if (flags) mailimap_flag_list_free(flags);
        if (set) mailimap_set_free(set);
        throw ImapFail("can_not_fetch", MAILIMAP_ERROR_MEMORY);
    }
    mailimap_store_att_flags* store = mailimap_store_att_flags_new_add_flags_silent(flags);
    if (!store) {
        mailimap_flag_list_free(flags);
        mailimap_set_free(set);
        throw ImapFail("can_not_fetch", MAILIMAP_ERROR_MEMORY);
    }
    // Runs of UIDs as ranges: a list of thousands would pass the server's line length.
    int rc = MAILIMAP_NO_ERROR;
    for (std::size_t i = 0; i < uids.size() && rc == MAILIMAP_NO_ERROR;) {
        std::size_t j = i;
        while (j + 1 < uids.size() && uids[j + 1] == uids[j] + 1) ++j;
        rc = i == j ? mailimap_set_add_single(set, uids[i]) : mailimap_set_add_interval(set, uids[i], uids[j]);
        i = j + 1;
    }
    if (rc == MAILIMAP_NO_ERROR) {
        vux_thread::SetStateC("imap");
        rc = mailimap_uid_store(session, set, store);
    }
    mailimap_store_att_flags_free(store);
    mailimap_set_free(set);
    if (!CheckResult(rc, &ImapText)) {
        VUX_LOG(VuxLogModule(), 4, "%s:%d store: %d: %s", "vuxemail_mailbox", __LINE__, rc, ImapText(rc));
        throw ImapFail("can_not_fetch", rc);
    }
}

ImapServer::ImapServer(const std::string& host, const std::string& user, const std::string& password, int port,
                       SecureType secure)
    : m_impl(std::make_shared<Implementation>()) {
    m_impl->host = host;
    m_impl->user = user;
    m_impl->password = password;
    m_impl->port = port;
    m_impl->secure = secure;
}

ImapServer::~ImapServer() = default;

void ImapServer::Check() {
    try {
        m_impl->Connect();
    } catch (...) {
        m_impl->Drop();
        throw;
    }
    m_impl->Logout();
}

namespace {

// Fetches `att` for `set` (UIDs when `by_uid`); the list is left in `result`.
int Fetch(mailimap* session, mailimap_set* set, mailimap_fetch_att* att, mailimap_fetch_att* att2, bool by_uid,
          FetchList& result) {
    mailimap_fetch_type* type = mailimap_fetch_type_new_fetch_att_list_empty();
    if (!type) {
        mailimap_fetch_att_free(att);
        if (att2) mailimap_fetch_att_free(att2);
        return MAILIMAP_ERROR_MEMORY;
    }
    int rc = mailimap_fetch_type_new_fetch_att_list_add(type, att);
    if (rc != MAILIMAP_NO_ERROR) mailimap_fetch_att_free(att);
    if (att2) {
        const int rc2 = mailimap_fetch_type_new_fetch_att_list_add(type, att2);
        if (rc2 != MAILIMAP_NO_ERROR) mailimap_fetch_att_free(att2);
        if (rc == MAILIMAP_NO_ERROR) rc = rc2;
    }
    if (rc == MAILIMAP_NO_ERROR) {
        vux_thread::SetStateC("imap");
        rc = by_uid ? mailimap_uid_fetch(session, set, type, result.out())
                    : mailimap_fetch(session, set, type, result.out());
    }
    mailimap_fetch_type_free(type);
    return rc;
}

}  // namespace

// Bodies are fetched with PEEK and marked seen only once every one of them is in: a session
// that breaks off leaves the messages unread, to be fetched again, not marked read and lost.
// The messages reach `out` only then, too.
void ImapServer::Get(std::vector<std::string>& out) {
    std::vector<std::string> got;
    try {
        m_impl->Connect();
        mailimap* s = m_impl->session;

        vux_thread::SetStateC("imap");
        int rc = mailimap_select(s, "INBOX");
        if (!CheckResult(rc, &ImapText)) {
            VUX_LOG(VuxLogModule(), 4, "%s:%d select: %d: %s", "vuxemail_mailbox", __LINE__, rc, ImapText(rc));
            throw ImapFail("can_not_select_inbox", rc);
        }
        // Servers refuse a FETCH of 1:* in an empty mailbox.
        if (!s->imap_selection_info || s->imap_selection_info->sel_exists == 0) {
            m_impl->Logout();
            return;
        }

        std::vector<uint32_t> unseen;
        {
            FetchList list;
            mailimap_set* all = mailimap_set_new_interval(1, 0);
            if (!all) throw ImapFail("can_not_fetch", MAILIMAP_ERROR_MEMORY);
            rc = Fetch(s, all, mailimap_fetch_att_new_uid(), mailimap_fetch_att_new_flags(), false, list);
            mailimap_set_free(all);
            if (!CheckResult(rc, &ImapText)) {
                VUX_LOG(VuxLogModule(), 4, "%s:%d fetch: %d: %s", "vuxemail_mailbox", __LINE__, rc, ImapText(rc));
                throw ImapFail("can_not_fetch", rc);
            }
            for (clistiter* i = list.get() ? clist_begin(list.get()) : nullptr; i; i = clist_next(i)) {
                const Fetched f = Read(static_cast<const mailimap_msg_att*>(clist_content(i)));
                if (!f.seen && f.uid != 0) unseen.push_back(f.uid);
            }
        }

        for (uint32_t uid : unseen) {
            FetchList list;
            mailimap_set* one = mailimap_set_new_single(uid);
            mailimap_section* section = one ? mailimap_section_new(nullptr) : nullptr;
            mailimap_fetch_att* body = section ? mailimap_fetch_att_new_body_peek_section(section) : nullptr;
            if (!body) {
                if (section) mailimap_section_free(section);
                if (one) mailimap_set_free(one);
                throw ImapFail("can_not_fetch", MAILIMAP_ERROR_MEMORY);
            }
            rc = Fetch(s, one, body, nullptr, true, list);
            mailimap_set_free(one);
            if (!CheckResult(rc, &ImapText)) {
                VUX_LOG(VuxLogModule(), 4, "%s:%d uid fetch %u: %d: %s", "vuxemail_mailbox", __LINE__, uid, rc,
                        ImapText(rc));
                throw ImapFail("can_not_fetch", rc);
            }
            // A message removed meanwhile by another session gives no body; it is simply gone.
            for (clistiter* i = list.get() ? clist_begin(list.get()) : nullptr; i; i = clist_next(i)) {
                Fetched f = Read(static_cast<const mailimap_msg_att*>(clist_content(i)));
                if (f.has_body && (f.uid == uid || f.uid == 0)) {
                    got.push_back(std::move(f.body));
                    break;
                }
            }
        }
        m_impl->MarkSeen(unseen);
    } catch (...) {
        m_impl->Drop();
        throw;
    }
    m_impl->Logout();
    out.insert(out.end(), got.begin(), got.end());
}

}  // namespace vux_email
