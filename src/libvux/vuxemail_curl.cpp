#include <libvux/vuxemail.h>

#include <curl/curl.h>

#include <strings.h>

#include <new>
#include <sstream>
#include <string>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxthread.h>

#include "private/vuxrpc.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_email {

namespace {

// Owns a recipient list.
class Recipients {
public:
    Recipients() = default;
    ~Recipients() { curl_slist_free_all(list_); }
    Recipients(const Recipients&) = delete;
    Recipients& operator=(const Recipients&) = delete;
    void Add(const std::string& address) {
        curl_slist* next = curl_slist_append(list_, address.c_str());
        if (!next) throw std::bad_alloc();
        list_ = next;
    }
    curl_slist* get() const { return list_; }

private:
    curl_slist* list_ = nullptr;
};

// The address inside the angle brackets of "name <address>"; the text itself when it has none.
std::string BareAddress(const std::string& mailbox) {
    const std::string::size_type close = mailbox.rfind('>');
    const std::string::size_type open = mailbox.rfind('<', close);
    if (close == std::string::npos || open == std::string::npos) return mailbox;
    return mailbox.substr(open + 1, close - open - 1);
}

// An envelope address goes into the SMTP command line as it is: a line break in it would end
// the command and start another.
const std::string& EnvelopeAddress(const std::string& address) {
    if (address.find_first_of(std::string("\r\n\0", 3)) != std::string::npos) throw Fail("invalid_address", address);
    return address;
}

// The message without its Bcc field, which would show every recipient the blind copies.
std::string WithoutBcc(const std::string& text) {
    const std::string::size_type end = text.find("\r\n\r\n");
    const std::string::size_type head = end == std::string::npos ? text.size() : end + 2;
    std::string out;
    out.reserve(text.size());
    bool dropping = false;
    std::string::size_type pos = 0;
    while (pos < head) {
        std::string::size_type eol = text.find("\r\n", pos);
        eol = eol == std::string::npos || eol + 2 > head ? head : eol + 2;
        const std::string line = text.substr(pos, eol - pos);
        const bool continued = line[0] == ' ' || line[0] == '\t';
        if (!continued) dropping = line.size() >= 4 && strncasecmp(line.c_str(), "bcc:", 4) == 0;
        if (!dropping) out += line;
        pos = eol;
    }
    out.append(text, head, std::string::npos);
    return out;
}

}  // namespace

struct SmtpServer::Implementation {
    CURL* curl = nullptr;
    std::string url;
    std::string host;
    std::string user;
    std::string password;
    int port = 0;
    SecureType secure = Plain;

    Implementation() : curl(vux_rpc::NewEasyHandle()) {}
    ~Implementation() { curl_easy_cleanup(curl); }
    Implementation(const Implementation&) = delete;
    Implementation& operator=(const Implementation&) = delete;
};

SmtpServer::SmtpServer(const std::string& host, const std::string& user, const std::string& password, int port,
                       SecureType secure)
    : m_impl(std::make_shared<Implementation>()) {
    Implementation& m = *m_impl;
    m.host = host;
    m.user = user;
    m.password = password;
    m.port = port;
    m.secure = secure;
    CURL* curl = m.curl;
    if (!user.empty()) vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str()));
    if (!password.empty()) vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str()));

    // An IPv6 literal needs its brackets in a URL, or its colons read as the port's.
    const bool bare_ipv6 = host.find(':') != std::string::npos && host.front() != '[';
    m.url = std::string(secure == Smtps ? "smtps://" : "smtp://") + (bare_ipv6 ? "[" + host + "]" : host) + ":" +
            std::to_string(port);
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_URL, m.url.c_str()));
    if (secure == StartTls) vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL)));
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L));
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L));
    vux_rpc::Check(vux_rpc::SetDebug(curl));
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    SetTimeout(30);
}

SmtpServer& SmtpServer::SetTimeout(std::size_t seconds) {
    const long s = static_cast<long>(seconds);
    vux_rpc::Check(curl_easy_setopt(m_impl->curl, CURLOPT_CONNECTTIMEOUT, s));
    vux_rpc::Check(curl_easy_setopt(m_impl->curl, CURLOPT_TIMEOUT, s));
    // libcurl waits for the answer to the message data outside the transfer's time-out, by
    // default for two minutes.
    vux_rpc::Check(curl_easy_setopt(m_impl->curl, CURLOPT_SERVER_RESPONSE_TIMEOUT, s));
    return *this;
}

int SmtpServer::Check() {
    CURL* curl = m_impl->curl;
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L));
    vux_thread::SetStateC("curl_perform");
    const CURLcode rc = curl_easy_perform(curl);
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 0L);
    VUX_LOG(VuxLogModule(), 9, "%s:%d check %s: %d: %s", "vuxemail_curl", __LINE__, m_impl->url.c_str(),
            static_cast<int>(rc), curl_easy_strerror(rc));
    return static_cast<int>(rc);
}

std::string SmtpServer::Send(const Message& message) {
    std::string from = message.Sender();
    if (from.empty()) {
        if (message.From(false).empty()) throw Fail("no_sender", "");
        const StringVector bare = message.From(true);
        if (!bare.empty()) from = bare.front();
    } else {
        // MAIL FROM takes the address alone, not the display name.
        from = BareAddress(from);
    }
    VUX_ASSERT(!from.empty(), "Failed to get valid FROM, please set it manually");

    Recipients rcpt;
    for (const StringVector& list : {message.To(true), message.Cc(true), message.Bcc(true)})
        for (const std::string& address : list) rcpt.Add(EnvelopeAddress(address));
    std::istringstream in(WithoutBcc(message.Str()));

    CURL* curl = m_impl->curl;
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_MAIL_FROM, EnvelopeAddress(from).c_str()));
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt.get()));
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_READFUNCTION, &vux_rpc::ReadFromStreamCallBack));
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_READDATA, &in));
    vux_rpc::Check(curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L));
    vux_thread::SetStateC("curl_perform");
    const CURLcode rc = curl_easy_perform(curl);
    // The handle outlives this call's list and stream.
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    if (rc != CURLE_OK) {
        VUX_LOG(VuxLogModule(), 3, "%s:%d send through %s: %s", "vuxemail_curl", __LINE__, m_impl->url.c_str(),
                curl_easy_strerror(rc));
        return curl_easy_strerror(rc);
    }
    return "";
}

}  // namespace vux_email
