#include <libvux/vuxrpc.h>

#include <curl/curl.h>

#include <sys/select.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <istream>
#include <ostream>
#include <utility>

#include <libvux/vuxcrypto.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxprofiler.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>

#include "private/vuxrpc.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {

// The last-code sentinel of the libcurl the library was first built against: callers pass it
// to say that there is no libcurl error to name.
const int kNoCurlError = 89;

std::string FailValue(const std::string& what, CURLcode code) {
    if (static_cast<int>(code) == kNoCurlError) return what;
    return what + ": " + curl_easy_strerror(code);
}

std::string FailValue(const std::string& what, CURLMcode code) {
    if (code == CURLM_OK) return what;
    return what + ": " + curl_multi_strerror(code);
}

void InitOnce() {
    vux_crypto::Init();
    curl_global_init(CURL_GLOBAL_ALL);
}

}  // namespace

template <class Code>
Fail::Fail(const std::string& what, Code code) : vux_err::Error("rpc", what, FailValue(what, code)) {}

template VUX_API Fail::Fail(const std::string& what, CURLcode code);
template VUX_API Fail::Fail(const std::string& what, CURLMcode code);

Fail::Fail(const std::string& object, const std::string& detail, const std::string& value)
    : vux_err::Error("ssh", "ssh_obj_" + object, value) {
    add_message("detail", "ssh_detail_" + detail);
}

void InitLibrary() {
    static const bool done = (vux_thread::Init(&InitOnce), true);
    (void)done;
}

CURL* NewEasyHandle() {
    InitLibrary();
    CURL* curl = curl_easy_init();
    if (!curl) {
        vux_err::Error e = Fail("init", static_cast<CURLcode>(kNoCurlError));
        e.set_report();
        throw e;
    }
    return curl;
}

void Check(CURLcode rc) {
    if (rc != CURLE_OK) throw Fail("init", rc);
}

void ThrowQuery(const vux_err::Error& fail, const std::string& url) {
    vux_err::Error e(fail);
    e.add_param("url", url);
    throw e;
}

int FailItCallBack(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    vux_thread::SetStateC("curl");
    return 0;
}

int DebugCallBack(CURL*, curl_infotype type, char* text, std::size_t size, void*) {
    if (type != CURLINFO_TEXT && type != CURLINFO_HEADER_IN && type != CURLINFO_HEADER_OUT) return 0;
    const std::string line = str::Trim(std::string(text, size));
    if (!line.empty())
        VUX_LOG(VuxLogModule(), 9, "%s:%d %.*s", "vuxrpc_unix", __LINE__, static_cast<int>(line.size()), line.data());
    return 0;
}

CURLcode SetDebug(CURL* curl) {
    if (!VuxLogModule().Check(9)) return CURLE_OK;
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, &DebugCallBack);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
    return rc;
}

std::size_t WriteToStreamCallBack(char* data, std::size_t size, std::size_t n, void* stream) {
    vux_thread::SetStateC("curl_write");
    std::ostream& out = *static_cast<std::ostream*>(stream);
    if (!out) return 0;
    out.write(data, static_cast<std::streamsize>(size * n));
    return out ? size * n : 0;
}

std::size_t WriteToDummyCallBack(char*, std::size_t size, std::size_t n, void*) {
    return size * n;
}

std::size_t ReadFromStreamCallBack(char* data, std::size_t size, std::size_t n, void* stream) {
    vux_thread::SetStateC("curl_read");
    std::istream& in = *static_cast<std::istream*>(stream);
    // A read error must not pass for the end of the body, or a cut upload would look complete.
    if (in.bad()) return CURL_READFUNC_ABORT;
    if (!in) return 0;
    in.read(data, static_cast<std::streamsize>(size * n));
    if (in.bad()) return CURL_READFUNC_ABORT;
    return static_cast<std::size_t>(in.gcount());
}

}  // namespace vux_rpc

namespace vux_rpc {

namespace {

const char* const kUserAgent = "curl/7.29.0";
const long kMaxRedirects = 30;

// The status of "HTTP/<version> <status> ..." or -1 when the line is no status line.
int StatusOf(const char* line, std::size_t n) {
    if (n < 6 || std::strncmp(line, "HTTP/", 5) != 0) return -1;
    std::size_t i = 5;
    while (i < n && (std::isdigit(static_cast<unsigned char>(line[i])) || line[i] == '.')) ++i;
    while (i < n && line[i] == ' ') ++i;
    int status = 0;
    // Statuses have three digits; more would only overflow.
    for (int digits = 0; i < n && digits < 4 && std::isdigit(static_cast<unsigned char>(line[i])); ++i, ++digits)
        status = status * 10 + (line[i] - '0');
    return status;
}

bool Accepted(int status) {
    return status == 100 || (status >= 200 && status <= 399);
}

std::size_t ProcessHttpHeaderCallBack(char* data, std::size_t size, std::size_t n, void* self) {
    vux_thread::SetStateC("curl_header");
    HttpQuery::Implementation& impl = *static_cast<HttpQuery::Implementation*>(self);
    const std::size_t len = size * n;
    const int status = StatusOf(data, len);
    if (status >= 0) {
        impl.status = status;
        // Refusing the header makes libcurl end the transfer with a write error.
        return Accepted(status) || impl.accept_any ? len : 0;
    }
    if (!impl.include_headers) return len;
    return impl.Write(data, len);
}

bool IsHttps(const std::string& url) {
    return url.compare(0, 8, "https://") == 0;
}

}  // namespace

HttpQuery::Implementation::Implementation() : curl(NewEasyHandle()) {}

HttpQuery::Implementation::~Implementation() {
    curl_slist_free_all(header_list);
    curl_easy_cleanup(curl);
}

std::size_t HttpQuery::Implementation::Write(const char* data, std::size_t n) {
    if (!*out) return 0;
    const std::size_t take = max_size > 0 ? std::min(n, max_size - written) : n;
    out->write(data, static_cast<std::streamsize>(take));
    if (!*out) return 0;
    written += take;
    return take;
}

std::size_t HttpQuery::Implementation::WriteToStreamCallBack(char* data, std::size_t size, std::size_t n, void* self) {
    vux_thread::SetStateC("curl_write");
    return static_cast<Implementation*>(self)->Write(data, size * n);
}

namespace {

// Self-signed peers pass unless the caller named a CA to check them against, or the query talks
// to a public service (the system's CA store then judges).
void SetTls(HttpQuery::Implementation& impl) {
    CURL* curl = impl.curl;
    const bool verify = !impl.ca_info.empty() || impl.verify_public;
    Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L));
    Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L));
    if (impl.ssl_version == 3) Check(curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_SSLv3)));
    if (!impl.key.empty()) Check(curl_easy_setopt(curl, CURLOPT_SSLKEY, impl.key.c_str()));
    if (!impl.key_password.empty()) Check(curl_easy_setopt(curl, CURLOPT_KEYPASSWD, impl.key_password.c_str()));
    if (!impl.cert.empty()) Check(curl_easy_setopt(curl, CURLOPT_SSLCERT, impl.cert.c_str()));
    // An empty name would replace libcurl's system store by no file at all.
    if (!impl.ca_info.empty()) Check(curl_easy_setopt(curl, CURLOPT_CAINFO, impl.ca_info.c_str()));
}

// The cookie engine with no file to read. curl_easy_reset leaks the list that CURLOPT_COOKIEFILE
// builds (libcurl 7.88), once per request, so the engine is started through an empty cookie line
// instead: the line is refused, the engine stays on, and its cookies survive the resets as before.
CURLcode StartCookies(CURL* curl) {
    return curl_easy_setopt(curl, CURLOPT_COOKIELIST, "Set-Cookie:");
}

void SetCommon(HttpQuery::Implementation& impl) {
    CURL* curl = impl.curl;
    Check(curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &FailItCallBack));
    Check(curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L));
    Check(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
#if LIBCURL_VERSION_NUM >= 0x075500
    Check(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https"));
#else
    Check(curl_easy_setopt(curl, CURLOPT_PROTOCOLS, static_cast<long>(CURLPROTO_HTTP | CURLPROTO_HTTPS)));
#endif
    Check(curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, impl.follow_redirect ? 1L : 0L));
    Check(curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects));
    if (impl.cookies) Check(StartCookies(curl));
    if (impl.timeout > 0) {
        Check(curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(impl.timeout)));
        Check(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(impl.timeout)));
    }
    Check(SetDebug(curl));
    if (!impl.source.empty()) Check(curl_easy_setopt(curl, CURLOPT_INTERFACE, impl.source.c_str()));
    Check(curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &ProcessHttpHeaderCallBack));
    Check(curl_easy_setopt(curl, CURLOPT_HEADERDATA, &impl));
    Check(curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &HttpQuery::Implementation::WriteToStreamCallBack));
    Check(curl_easy_setopt(curl, CURLOPT_WRITEDATA, &impl));
}

CURLcode SetBody(CURL* curl, const std::string& data) {
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(data.size()));
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, data.c_str());
    return rc;
}

CURLcode SetMethod(HttpQuery::Implementation& impl, HttpQuery::Implementation::method_t method, const std::string& data,
                   std::istream* upload) {
    using I = HttpQuery::Implementation;
    CURL* curl = impl.curl;
    switch (method) {
    case I::GET:
        return curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    case I::HEAD: {
        const CURLcode rc = curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
        return rc != CURLE_OK ? rc : curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "HEAD");
    }
    case I::POST: {
        const CURLcode rc = curl_easy_setopt(curl, CURLOPT_POST, 1L);
        return rc != CURLE_OK ? rc : SetBody(curl, data);
    }
    case I::PUT: {
        CURLcode rc = curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
        if (rc == CURLE_OK && upload) {
            rc = curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
            if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadFromStreamCallBack);
            if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_READDATA, upload);
        }
        return rc != CURLE_OK || data.empty() ? rc : SetBody(curl, data);
    }
    case I::PATCH:
    case I::DELETE: {
        const CURLcode rc = curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method == I::PATCH ? "PATCH" : "DELETE");
        return rc != CURLE_OK || data.empty() ? rc : SetBody(curl, data);
    }
    case I::PROPFIND:
        return curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PROPFIND");
    case I::MKCOL:
        return curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "MKCOL");
    }
    return CURLE_FAILED_INIT;
}

void SetHeaders(HttpQuery::Implementation& impl) {
    curl_slist_free_all(impl.header_list);
    impl.header_list = nullptr;
    if (impl.headers.empty()) return;
    for (const auto& h : impl.headers) {
        std::string line = h.first;
        line.append(": ").append(h.second);
        curl_slist* grown = curl_slist_append(impl.header_list, line.c_str());
        if (!grown) throw Fail("init", CURLE_OUT_OF_MEMORY);
        impl.header_list = grown;
    }
    Check(curl_easy_setopt(impl.curl, CURLOPT_HTTPHEADER, impl.header_list));
}

}  // namespace

std::ostream& HttpQuery::Implementation::Perform(const HttpQuery& owner, method_t method, const std::string& url,
                                                 const std::string& data, std::ostream& o) {
    vux_profiler::Task task("rpc");
    // The input stream belongs to the one request it was given for.
    std::istream* const upload = std::exchange(in, nullptr);
    if (!o) return o;
    const std::shared_ptr<Multi::Data> m = multi.lock();
    if (attached && !m) ThrowQuery(Fail("multi_add", CURLM_BAD_HANDLE), url);
    // Resetting a handle still in flight would pull the transfer from under libcurl.
    if (m && m->results.count(curl)) ThrowQuery(Fail("multi_add", CURLM_ADDED_ALREADY), url);
    curl_easy_reset(curl);
    Check(curl_easy_setopt(curl, CURLOPT_URL, url.c_str()));
    if (IsHttps(url)) SetTls(*this);
    SetCommon(*this);
    written = 0;
    out = &o;
    const CURLcode rc = SetMethod(*this, method, data, upload);
    if (rc != CURLE_OK) ThrowQuery(Fail("query", rc), url);
    Check(curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent));
    SetHeaders(*this);
    if (m) return Start(owner, *m, url, o);
    return Finish(url, o);
}

std::ostream& HttpQuery::Implementation::Finish(const std::string& url, std::ostream& o) {
    vux_thread::SetStateC("curl_perform");
    const CURLcode rc = curl_easy_perform(curl);
    curl_slist_free_all(header_list);
    header_list = nullptr;
    if (rc == CURLE_OK) return o;
    o.setstate(std::ios_base::badbit);
    // A body cut at the limit is what the caller asked for, not a failure.
    if (max_size > 0 && written == max_size) return o;
    ThrowQuery(Fail("query", rc), url);
}

std::ostream& HttpQuery::Implementation::Start(const HttpQuery& owner, Multi::Data& m, const std::string& url,
                                               std::ostream& o) {
    const CURLMcode mc = curl_multi_add_handle(m.multi, curl);
    if (mc != CURLM_OK) ThrowQuery(Fail("multi_add", mc), url);
    m.results.emplace(curl, Multi::Result{owner, &o, url});
    ++m.count;
    int running = 0;
    curl_multi_perform(m.multi, &running);
    return o;
}

// Handle

HttpQuery::HttpQuery() : m_impl(std::make_shared<Implementation>()) {}

HttpQuery::~HttpQuery() = default;

#define VUX_RPC_IMPL() VUX_ASSERT(m_impl, "m_impl is NULL")

HttpQuery& HttpQuery::SetTimeout(std::size_t seconds) {
    VUX_RPC_IMPL();
    m_impl->timeout = seconds;
    return *this;
}

HttpQuery& HttpQuery::SetMaxSize(std::size_t bytes) {
    VUX_RPC_IMPL();
    m_impl->max_size = bytes;
    return *this;
}

HttpQuery& HttpQuery::EnableCookie() {
    VUX_RPC_IMPL();
    m_impl->cookies = true;
    return *this;
}

HttpQuery& HttpQuery::AcceptAnyResponse() {
    VUX_RPC_IMPL();
    m_impl->accept_any = true;
    return *this;
}

HttpQuery& HttpQuery::AcceptHeader() {
    VUX_RPC_IMPL();
    m_impl->include_headers = true;
    return *this;
}

HttpQuery& HttpQuery::SetFollowRedirect(bool follow) {
    VUX_RPC_IMPL();
    m_impl->follow_redirect = follow;
    return *this;
}

HttpQuery& HttpQuery::SetSslVersion(int version) {
    VUX_RPC_IMPL();
    m_impl->ssl_version = version;
    return *this;
}

HttpQuery& HttpQuery::SetSource(const std::string& source) {
    VUX_RPC_IMPL();
    m_impl->source = source;
    return *this;
}

HttpQuery& HttpQuery::SetCaInfo(const std::string& path) {
    VUX_RPC_IMPL();
    m_impl->ca_info = path;
    return *this;
}

HttpQuery& HttpQuery::SetCertifacate(const std::string& cert, const std::string& key, const std::string& password) {
    VUX_RPC_IMPL();
    m_impl->cert = cert;
    m_impl->key = key;
    m_impl->key_password = password;
    return *this;
}

HttpQuery& HttpQuery::AddHeader(const std::string& name, const std::string& value) {
    VUX_RPC_IMPL();
    m_impl->headers.emplace_back(name, value);
    return *this;
}

HttpQuery& HttpQuery::AddHeader(const std::string& line) {
    VUX_RPC_IMPL();
    const std::string::size_type colon = line.find(": ");
    if (colon == std::string::npos) return AddHeader(line, "");
    return AddHeader(line.substr(0, colon), line.substr(colon + 2));
}

namespace {

std::vector<std::pair<std::string, std::string>>::iterator FindHeader(
    std::vector<std::pair<std::string, std::string>>& headers, const std::string& name) {
    return std::find_if(headers.begin(), headers.end(), [&](const auto& h) { return h.first == name; });
}

}  // namespace

HttpQuery& HttpQuery::SetHeader(const std::string& name, const std::string& value) {
    VUX_RPC_IMPL();
    const auto it = FindHeader(m_impl->headers, name);
    if (it == m_impl->headers.end()) return AddHeader(name, value);
    it->second = value;
    return *this;
}

HttpQuery& HttpQuery::DropHeader(const std::string& name) {
    VUX_RPC_IMPL();
    const auto it = FindHeader(m_impl->headers, name);
    if (it != m_impl->headers.end()) m_impl->headers.erase(it);
    return *this;
}

HttpQuery& HttpQuery::SetCookie(const std::string& text) {
    VUX_RPC_IMPL();
    return AddHeader("Cookie: " + text);
}

HttpQuery& HttpQuery::SetMulti(Multi* multi) {
    VUX_RPC_IMPL();
    VUX_ASSERT(!m_impl->attached, "multi is already set");
    VUX_ASSERT(multi && multi->m_data, "multi is NULL");
    m_impl->multi = multi->m_data;
    m_impl->attached = true;
    return *this;
}

int HttpQuery::Status() const {
    VUX_RPC_IMPL();
    return m_impl->status;
}

std::ostream& HttpQuery::Get(const std::string& url, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::GET, url, "", out);
}

std::ostream& HttpQuery::Head(const std::string& url, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::HEAD, url, "", out);
}

std::ostream& HttpQuery::Delete(const std::string& url, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::DELETE, url, "", out);
}

std::ostream& HttpQuery::Delete(const std::string& url, const std::string& data, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::DELETE, url, data, out);
}

std::ostream& HttpQuery::Post(const std::string& url, const std::string& data, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::POST, url, data, out);
}

std::ostream& HttpQuery::Put(const std::string& url, const std::string& data, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::PUT, url, data, out);
}

std::ostream& HttpQuery::Put(const std::string& url, std::istream& in, std::ostream& out) {
    VUX_RPC_IMPL();
    m_impl->in = &in;
    return m_impl->Perform(*this, Implementation::PUT, url, "", out);
}

std::ostream& HttpQuery::Patch(const std::string& url, const std::string& data, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::PATCH, url, data, out);
}

std::ostream& HttpQuery::Propfind(const std::string& url, const std::string&, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::PROPFIND, url, "", out);
}

std::ostream& HttpQuery::Mkcol(const std::string& url, const std::string&, std::ostream& out) {
    VUX_RPC_IMPL();
    return m_impl->Perform(*this, Implementation::MKCOL, url, "", out);
}

// Multi

Multi::Data::Data() {
    InitLibrary();
    multi = curl_multi_init();
    if (!multi) {
        vux_err::Error e = Fail("init", CURLM_OK);
        e.set_report();
        throw e;
    }
}

Multi::Data::~Data() {
    // Abandoned transfers leave the multi handle before their easy handles can go.
    for (const auto& r : results) curl_multi_remove_handle(multi, r.first);
    results.clear();
    curl_multi_cleanup(multi);
}

Multi::Multi() : m_data(std::make_shared<Data>()) {}

bool Multi::empty() const {
    VUX_ASSERT(m_data, "m_data is NULL");
    return m_data->count == 0;
}

namespace {

const long kMaxWaitMs = 500;
const long kNoDescriptorWaitMs = 100;

// Until libcurl has something to do or its time-out comes.
void WaitForActivity(CURLM* multi) {
    long timeout = -1;
    curl_multi_timeout(multi, &timeout);
    if (timeout < 0 || timeout > kMaxWaitMs) timeout = kMaxWaitMs;
    fd_set r, w, e;
    FD_ZERO(&r);
    FD_ZERO(&w);
    FD_ZERO(&e);
    int maxfd = -1;
    const CURLMcode mc = curl_multi_fdset(multi, &r, &w, &e, &maxfd);
    if (mc != CURLM_OK) throw Fail("fdset", mc);
    if (maxfd < 0) timeout = std::min(timeout, kNoDescriptorWaitMs);
    timeval tv = {timeout / 1000, (timeout % 1000) * 1000};
    if (::select(maxfd + 1, &r, &w, &e, &tv) < 0 && errno != EINTR)
        throw Fail("select", static_cast<CURLcode>(kNoCurlError));
}

CURLMsg* NextDone(CURLM* multi) {
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left))
        if (msg->msg == CURLMSG_DONE) return msg;
    return nullptr;
}

}  // namespace

Multi::Result Multi::Wait() {
    VUX_ASSERT(m_data, "m_data is NULL");
    VUX_ASSERT(m_data->count > 0, "no transfer in flight");
    Data& d = *m_data;
    CURLMsg* done = nullptr;
    for (;;) {
        vux_thread::SetStateC("curl_multi_perform");
        int running = 0;
        curl_multi_perform(d.multi, &running);
        if (static_cast<std::size_t>(running) < d.count && (done = NextDone(d.multi))) break;
        WaitForActivity(d.multi);
    }
    CURL* easy = done->easy_handle;
    const CURLcode code = done->data.result;
    curl_multi_remove_handle(d.multi, easy);
    const auto it = d.results.find(easy);
    VUX_ASSERT(it != d.results.end(), "finished transfer is not ours");
    Result result = it->second;
    d.results.erase(it);
    --d.count;
    if (code != CURLE_OK) result.out->setstate(std::ios_base::badbit);
    VUX_LOG(VuxLogModule(), 7, "Got result %d for '%s', good = %s", static_cast<int>(code), result.url.c_str(),
            result.out->good() ? "true" : "false");
    return result;
}

}  // namespace vux_rpc
