#include <libvux/vuxrpc_s3.h>

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstring>
#include <istream>
#include <ostream>
#include <sstream>
#include <streambuf>

#include <libvux/vuxerr.h>
#include <libvux/vuxhash.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

#include "private/vuxrpc.h"
#include "private/vuxrpc_s3.h"
#include "private/vuxrpc_s3xml.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {

const char kPublicEndpoint[] = "https://s3.amazonaws.com";
const std::size_t kPartSize = 0x500000;
const std::size_t kPartReserve = 0x501000;
const std::size_t kBlock = 4096;
// DeleteObjects takes no more keys per request.
const std::size_t kDeleteBatch = 1000;
const int kDeleteAttempts = 3;

std::string Sha256Hex(const std::string& data) {
    return str::hex::Encode(vux_hash::Hash(vux_hash::HashSHA256).Update(data).Str());
}

using Method = HttpQuery::Implementation::method_t;

const char* MethodName(Method m) {
    switch (m) {
        case Method::GET: return "GET";
        case Method::PUT: return "PUT";
        case Method::POST: return "POST";
        case Method::DELETE: return "DELETE";
        case Method::HEAD: return "HEAD";
        default: break;
    }
    VUX_ASSERT(false, "unsupported method");
    return "";
}

// The part of a URL after the host, up to "?"; "/" when there is none.
std::string UrlPath(const std::string& url) {
    const std::string::size_type host = FindHostInUrl(url);
    std::string::size_type slash = url.find('/', host);
    if (slash == std::string::npos) return "/";
    return url.substr(slash, url.find('?', slash) - slash);
}

// Body bytes go to the caller only once the status says they are the object; anything else is
// kept as the error answer.
class StatusGate : public std::streambuf {
public:
    StatusGate(const HttpQuery& q, std::ostream& out) : q_(q), out_(out) {}
    const std::string& refused() const { return refused_; }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (q_.Status() != 200) {
            refused_.append(s, static_cast<std::size_t>(n));
            return n;
        }
        out_.write(s, n);
        return out_ ? n : 0;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }

private:
    const HttpQuery& q_;
    std::ostream& out_;
    std::string refused_;
};

// Directory object keys: no leading "/", one trailing "/".
std::string DirKey(const std::string& path) {
    std::string key = path;
    while (!key.empty() && key.front() == '/') key.erase(0, 1);
    while (!key.empty() && key.back() == '/') key.pop_back();
    return key.empty() ? key : key + "/";
}

}  // namespace

std::string::size_type FindHostInUrl(const std::string& url) {
    const std::string::size_type p = url.find("://");
    return p == std::string::npos ? 0 : p + 3;
}

std::string GetHostFromUrl(const std::string& url) {
    const std::string::size_type start = FindHostInUrl(url);
    const std::string::size_type end = url.find('/', start);
    return url.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

void ReplaceHostInUrl(std::string& url, const std::string& host) {
    const std::string::size_type start = FindHostInUrl(url);
    const std::string::size_type end = url.find('/', start);
    url.replace(start, end == std::string::npos ? std::string::npos : end - start, host);
}

std::string& AddLastSlash(std::string& url) {
    str::inpl::Trim(url);
    if (url.empty() || url.back() != '/') url += '/';
    return url;
}

std::string FormatUTC(std::time_t time, const std::string& format) {
    tm t = {};
    gmtime_r(&time, &t);
    char buf[1024];
    const std::size_t n = strftime(buf, sizeof buf, format.c_str(), &t);
    return std::string(buf, n);
}

std::string FormatS3UTC(std::time_t time, const std::string& format) { return FormatUTC(time, format); }

std::string HMAC_Sha256(const std::string& key, const std::string& data) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
              data.size(), out, &n))
        throw vux_err::Error("crypto", "hmac").set_report();
    return std::string(reinterpret_cast<const char*>(out), n);
}

std::string CheckName(const std::string& name, bool query) {
    std::string out = str::url::Encode(name);
    StringMap back = {{"%2E", "."}, {"%2D", "-"}, {"%5F", "_"}, {"%7E", "~"}};
    if (!query) back["%2F"] = "/";
    return str::Replace(out, back);
}

std::string GetEtag(const std::string& headers) {
    std::istringstream in(headers);
    std::string line;
    while (std::getline(in, line)) {
        const std::string::size_type colon = line.find(':');
        if (colon == std::string::npos || str::Lower(str::Trim(line.substr(0, colon))) != "etag") continue;
        std::string value = str::Trim(line.substr(colon + 1));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
        return value;
    }
    return "";
}

namespace s3 {

StringVector SplitToken(const std::string& token, std::size_t fields) {
    StringVector out;
    std::string rest = token;
    while (out.size() + 1 < fields) {
        const std::string::size_type colon = rest.find(':');
        if (colon == std::string::npos) break;
        out.push_back(rest.substr(0, colon));
        rest.erase(0, colon + 1);
    }
    out.push_back(rest);
    if (out.size() < 3) throw vux_err::Error("amazon", "token");
    return out;
}

void Bucket::Configure(HttpQuery& q) {
    // A blank value keeps libcurl's own form content type off every request.
    q.AcceptAnyResponse().SetFollowRedirect(false).SetHeader("Content-Type", " ");
}

std::string Bucket::Signature(const std::string& date, const std::string& string_to_sign) const {
    std::string key = HMAC_Sha256("AWS4" + secret, date);
    key = HMAC_Sha256(key, region);
    key = HMAC_Sha256(key, "s3");
    key = HMAC_Sha256(key, "aws4_request");
    return str::hex::Encode(HMAC_Sha256(key, string_to_sign));
}

void Bucket::SignRequest(HttpQuery& q, const std::string& query, const std::string& method, const std::string& url,
                         const std::string& payload) {
    SignRequest(q, query, method, url, payload, std::time(nullptr));
}

void Bucket::SignRequest(HttpQuery& q, const std::string& query, const std::string& method, const std::string& url,
                         const std::string& payload, std::time_t now) {
    VUX_ASSERT(!secret.empty() || !access.empty(), "token dropped");
    const std::string date = FormatS3UTC(now, "%Y%m%d");
    const std::string timestamp = FormatS3UTC(now, "%Y%m%dT%H%M%SZ");
    const std::string hash = Sha256Hex(payload);
    signing.clear();
    signing["host"] = GetHostFromUrl(url);
    signing["x-amz-content-sha256"] = hash;
    if (amazon) {
        // The timestamp travels in "Date"; the string to sign still takes the ISO form, which
        // is what the service reads back from that header.
        signing["date"] = FormatUTC(now, "%a, %d %b %Y %H:%M:%S GMT");
        q.SetHeader("Date", signing["date"]);
    } else {
        signing["x-amz-date"] = timestamp;
        q.SetHeader("x-amz-date", timestamp);
    }
    q.SetHeader("x-amz-content-sha256", hash);

    std::string canonical = method + "\n" + UrlPath(url) + "\n" + query + "\n";
    std::string names;
    for (const auto& [name, value] : signing) {
        canonical += name + ":" + value + "\n";
        names += (names.empty() ? "" : ";") + name;
    }
    canonical += "\n" + names + "\n" + hash;

    const std::string scope = date + "/" + region + "/s3/aws4_request";
    const std::string to_sign = "AWS4-HMAC-SHA256\n" + timestamp + "\n" + scope + "\n" + Sha256Hex(canonical);
    VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "Canonical request: %s", canonical.c_str());
    q.SetHeader("Authorization", "AWS4-HMAC-SHA256 Credential=" + access + "/" + scope + ", SignedHeaders=" + names +
                                     ", Signature=" + Signature(date, to_sign));
}

int Bucket::Request(HttpQuery& q, Method method, const std::string& url, const std::string& query,
                    const std::string& body, std::ostream& out, const Headers& extra) {
    SignRequest(q, query, MethodName(method), url, body);
    for (const auto& [name, value] : extra) q.SetHeader(name, value);
    struct DropExtra {
        HttpQuery& q;
        const Headers& extra;
        ~DropExtra() {
            for (const auto& h : extra) q.DropHeader(h.first);
        }
    } drop{q, extra};
    switch (method) {
        case Method::GET: q.HttpQuery::Get(url, out); break;
        case Method::HEAD: q.HttpQuery::Head(url, out); break;
        case Method::PUT: q.HttpQuery::Put(url, body, out); break;
        case Method::POST: q.HttpQuery::Post(url, body, out); break;
        case Method::DELETE:
            if (body.empty())
                q.HttpQuery::Delete(url, out);
            else
                q.HttpQuery::Delete(url, body, out);
            break;
        default: VUX_ASSERT(false, "unsupported method");
    }
    return q.Status();
}

std::string Bucket::Request(HttpQuery& q, Method method, const std::string& url, const std::string& query,
                            const std::string& body, int& status, const Headers& extra) {
    std::ostringstream out;
    status = Request(q, method, url, query, body, out, extra);
    return out.str();
}

void Bucket::DropError(const std::string& step, const std::string& response) const {
    const s3xml::ErrorAnswer e = s3xml::ReadError(response);
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "%s: STEP - %s, CODE - %s, MESSAGE - %s", Name(), step.c_str(),
            e.code.c_str(), e.message.c_str());
    throw vux_err::Error("amazon", e.code.empty() ? "storage_error" : e.code, e.message)
        .add_param("step", step)
        .add_param("code", e.code)
        .add_param("message", e.message);
}

void Bucket::DropStorage(const std::string& step, const std::string& response) const {
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "%s: STEP - %s, MESSAGE - %s", Name(), step.c_str(), response.c_str());
    throw vux_err::Error("amazon", "storage_error", amazon ? "Amazon" : "S3").add_param("step", step);
}

void Bucket::SetRedirect(HttpQuery& q) {
    int status = 0;
    const std::string body = Request(q, Method::GET, base_url + "?max-keys=0", "max-keys=0", "", status);
    if (status == 200) return;
    const std::string host = s3xml::ReadError(body).endpoint;
    if (host.empty() || host == GetHostFromUrl(base_url)) return;
    VUX_LOG(VuxLogModule(), vux_log::LevelInfo, "Bucket moved to %s", host.c_str());
    ReplaceHostInUrl(base_url, host);
}

std::string Bucket::BucketLocation(HttpQuery& q) {
    try {
        int status = 0;
        const std::string body = Request(q, Method::GET, base_url + "?location", "location=", "", status);
        VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Bucket location xml: %s", "vuxrpc_s3", __LINE__, body.c_str());
        const std::string region = s3xml::ReadLocation(body);
        if (region.empty()) VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Bucket location is empty");
        return region;
    } catch (const vux_err::Error& e) {
        VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Error get location: %s", e.what());
    }
    return "";
}

void Bucket::FindRegion(HttpQuery& q) {
    const std::string found = BucketLocation(q);
    if (!found.empty()) region = found;
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Bucket location: %s", region.c_str());
}

int Bucket::Put(HttpQuery& q, const std::string& name, const std::string& data) {
    SetRedirect(q);
    int status = 0;
    const std::string body = Request(q, Method::PUT, base_url + CheckName(name), "", data, status,
                                     data.empty() ? Headers{{"Content-Length", "0"}} : Headers{});
    if (status != 200) DropError("UploadFile", body);
    return 200;
}

int Bucket::Put(HttpQuery& q, const std::string& name, std::istream& in) {
    SetRedirect(q);
    const std::string url = base_url + CheckName(name);
    int status = 0;
    std::string body = Request(q, Method::POST, url + "?uploads", "uploads=", "", status,
                               {{"Expect", " "}, {"Content-Length", " "}});
    if (status != 200) DropError("StartMultiUpload", body);
    const std::string id = s3xml::ReadUploadId(body);
    if (id.empty()) DropError("NO_UploadId", body);
    upload_url = url;
    const std::string id_query = CheckName(id, true);

    // A half-done upload keeps its parts stored (and billed) until somebody aborts it.
    struct Abort {
        Bucket& b;
        HttpQuery& q;
        const std::string& url;
        const std::string& id;
        bool done = false;
        ~Abort() {
            if (done) return;
            try {
                b.AbortUpload(q, url, id);
            } catch (...) {
                VUX_LOG(VuxLogModule(), vux_log::LevelError, "Not aborted multiupload");
            }
        }
    } abort{*this, q, url, id};

    std::string complete = "<CompleteMultipartUpload>";
    std::string part;
    part.reserve(kPartReserve);
    char block[kBlock];
    bool more = true;
    for (int n = 1; more; ++n) {
        part.clear();
        while (part.size() < kPartSize) {
            in.read(block, kBlock);
            part.append(block, static_cast<std::size_t>(in.gcount()));
            if (in.bad()) DropStorage("ReadStream", "the input stream failed");
            if (!in) {
                more = false;
                break;
            }
        }
        // A stream that ends on a part boundary leaves no empty last part, unless it is the only one.
        if (part.empty() && n > 1) break;
        const std::string number = std::to_string(n);
        const std::string query = "partNumber=" + number + "&uploadId=" + id_query;
        std::ostringstream out;
        impl->include_headers = true;
        struct Plain {
            HttpQuery::Implementation* impl;
            ~Plain() { impl->include_headers = false; }
        } plain{impl};
        status = Request(q, Method::PUT, url + "?" + query, query, part, out,
                         {{"Content-Length", std::to_string(part.size())}, {"Expect", " "}});
        const std::string answer = out.str();
        if (status != 200) DropStorage("UploadPart", answer);
        complete += "<Part><PartNumber>" + number + "</PartNumber><ETag>" + s3xml::Escape(GetEtag(answer)) +
                    "</ETag></Part>";
    }
    complete += "</CompleteMultipartUpload>";

    const std::string query = "uploadId=" + id_query;
    body = Request(q, Method::POST, url + "?" + query, query, complete, status,
                   {{"Content-Length", std::to_string(complete.size())}, {"Expect", " "}});
    if (status != 200 || s3xml::IsError(body)) {
        VUX_LOG(VuxLogModule(), vux_log::LevelError, "%s: FinishMultiUpload ended with status - %d", Name(), status);
        DropError("FinishMultiUpload", body);
    }
    abort.done = true;
    return 200;
}

std::ostream& Bucket::Get(HttpQuery& q, const std::string& name, std::ostream& out) {
    SetRedirect(q);
    StatusGate gate(q, out);
    std::ostream through(&gate);
    const int status = Request(q, Method::GET, base_url + CheckName(name), "", "", through);
    if (status != 200) DropError("Get", gate.refused());
    return out;
}

bool Bucket::Delete(HttpQuery& q, const std::string& name) {
    SetRedirect(q);
    int status = 0;
    Request(q, Method::DELETE, base_url + CheckName(name), "", "", status);
    if (status == 204) return true;
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "%s. File not deleted from storage", Name());
    return false;
}

void Bucket::MkPath(HttpQuery& q, const std::string& path) {
    SetRedirect(q);
    int status = 0;
    const std::string body =
        Request(q, Method::PUT, base_url + CheckName(DirKey(path)), "", "", status, {{"Content-Length", "0"}});
    if (status != 200) DropError("MkPath", body);
}

void Bucket::List(HttpQuery& q, const std::string& prefix, StringList& keys, bool redirect) {
    if (redirect) SetRedirect(q);
    std::string marker;
    for (;;) {
        std::string query;
        if (!marker.empty()) query = "marker=" + CheckName(marker, true) + "&";
        query += "prefix=" + CheckName(prefix, true);
        int status = 0;
        const std::string body = Request(q, Method::GET, base_url + "?" + query, query, "", status);
        if (status != 200) DropError("List", body);
        s3xml::KeyPage page = s3xml::ReadKeys(body);
        keys.splice(keys.end(), page.keys);
        // A marker that does not move on would ask for the same page for ever.
        if (!page.truncated || page.next.empty() || page.next == marker) break;
        marker = page.next;
    }
}

bool Bucket::RmDir(HttpQuery& q, const std::string& path) {
    const std::string dir = DirKey(path);
    if (dir.empty()) throw vux_err::Error("amazon", "rmdir_root", path);
    SetRedirect(q);
    StringList keys;
    List(q, dir, keys, false);
    bool all = true;
    while (!keys.empty()) {
        std::string body = "<Delete>";
        for (std::size_t n = 0; n < kDeleteBatch && !keys.empty(); ++n) {
            body += "<Object><Key>" + s3xml::Escape(keys.front()) + "</Key></Object>";
            keys.pop_front();
        }
        body += "</Delete>";
        const std::string md5 = str::base64::Encode(vux_hash::Hash(vux_hash::HashMD5).Update(body).Str());
        int status = 0;
        std::string answer;
        // A 5xx is the service's own trouble (S3 says: retry); the keys already gone count as deleted.
        for (int attempt = 0; attempt < kDeleteAttempts && (attempt == 0 || status >= 500); ++attempt)
            answer = Request(q, Method::POST, base_url + "?delete", "delete=", body, status, {{"Content-MD5", md5}});
        // The answer lists the keys it could not delete as Error entries.
        if (status != 200 || answer.find("<Error>") != std::string::npos) {
            VUX_LOG(VuxLogModule(), vux_log::LevelError, "Error delete files '%s'", path.c_str());
            all = false;
        }
    }
    int status = 0;
    Request(q, Method::DELETE, base_url + CheckName(dir), "", "", status);
    if (status != 204) {
        VUX_LOG(VuxLogModule(), vux_log::LevelError, "%s. Directory not deleted from storage", Name());
        all = false;
    }
    return all;
}

void Bucket::GetBucketsList(HttpQuery& q, StringList& list) {
    int status = 0;
    const std::string body = Request(q, Method::GET, endpoint, "", "", status);
    if (status != 200) DropError("GetBucketsList", body);
    s3xml::ReadBuckets(body, list);
}

void Bucket::CreateBucket(HttpQuery& q) {
    int status = 0;
    const std::string body = Request(q, Method::PUT, base_url, "", "", status, {{"Content-Length", "0"}});
    if (status != 200) DropError("CreateBucket", body);
}

bool Bucket::AbortUpload(HttpQuery& q, const std::string& url, const std::string& upload_id) {
    const std::string query = "uploadId=" + CheckName(upload_id, true);
    int status = 0;
    Request(q, Method::DELETE, url + "?" + query, query, "", status);
    if (status == 204) return true;
    VUX_LOG(VuxLogModule(), vux_log::LevelError, "Not aborted multiupload");
    return false;
}

}  // namespace s3

struct S3::Data : s3::Bucket {
    Data() : Bucket(false) {}
};

S3::S3(const std::string& token) : m_data(std::make_shared<Data>()) {
    const StringVector f = s3::SplitToken(token, 5);
    m_data->access = f[0];
    m_data->secret = f[1];
    m_data->bucket = f[2];
    m_data->path_style = f.size() > 3 && f[3] == "urlpath";
    const std::string given = f.size() > 4 ? str::Trim(f[4]) : "";
    m_data->endpoint = given.empty() ? kPublicEndpoint : given;
    AddLastSlash(m_data->endpoint);
    // Only the built-in public address is checked against the CA store: a self-hosted service
    // named in the token may well use its own certificate.
    if (given.empty()) TrustPublicService(*m_impl, Endpoint{kPublicEndpoint, false});
    m_data->impl = m_impl.get();
    m_data->Configure(*this);
    if (m_data->path_style) {
        m_data->base_url = m_data->endpoint + m_data->bucket + "/";
    } else {
        m_data->base_url = m_data->endpoint;
        m_data->base_url.insert(FindHostInUrl(m_data->base_url), m_data->bucket + ".");
    }
    m_data->FindRegion(*this);
}

std::string S3::token() const { return m_data->access + ":" + m_data->secret + ":" + m_data->bucket; }

std::string S3::GetToken(const std::string& access, const std::string& secret, const std::string& bucket,
                         const std::string& style, const std::string& endpoint) {
    return access + ":" + secret + ":" + bucket + ":" + style + ":" + endpoint;
}

void S3::DropToken() {
    m_data->access.clear();
    m_data->secret.clear();
}

int S3::Put(const std::string& name, const std::string& data, const std::string&) { return m_data->Put(*this, name, data); }
int S3::Put(const std::string& name, std::istream& in, const std::string&) { return m_data->Put(*this, name, in); }
std::ostream& S3::Get(const std::string& name, std::ostream& out) { return m_data->Get(*this, name, out); }
bool S3::Delete(const std::string& name) { return m_data->Delete(*this, name); }
void S3::MkPath(const std::string& path) { m_data->MkPath(*this, path); }
bool S3::RmDir(const std::string& path) { return m_data->RmDir(*this, path); }
void S3::List(const std::string& prefix, StringList& keys) { m_data->List(*this, prefix, keys); }
void S3::GetBucketsList(StringList& list) { m_data->GetBucketsList(*this, list); }
void S3::CreateBucket() { m_data->CreateBucket(*this); }
std::string S3::BucketLocation() { return m_data->BucketLocation(*this); }
bool S3::AbortUpload(const std::string& upload_id) { return m_data->AbortUpload(*this, m_data->upload_url, upload_id); }
bool S3::AbortUpload(const std::string& name, const std::string& upload_id) {
    return m_data->AbortUpload(*this, m_data->base_url + CheckName(name), upload_id);
}
std::string S3::region() const { return m_data->region; }
std::string S3::base_url() const { return m_data->base_url; }

}  // namespace vux_rpc
