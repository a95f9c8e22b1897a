#include <libvux/vuxrpc_yandex.h>

#include <sys/stat.h>

#include <cerrno>
#include <fstream>
#include <istream>
#include <ostream>
#include <sstream>
#include <streambuf>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxhash.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxstr.h>

#include "private/vuxrpc.h"
#include "private/vuxrpc_yandex.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {

const char* const kDisk = "https://webdav.yandex.ru";
const char* const kOAuth = "https://oauth.yandex.ru";
const std::size_t kBlock = 4096;
const std::size_t kFlushAt = 0x500000;
const int kRetries = 3;
const int kMaxChecks = 150;

vux_err::Error StorageError(const std::string& what, int status) {
    vux_err::Error e = status == 401 ? vux_err::Error("yandex_storage", "unauthorized", "Authorization error")
                                     : vux_err::Error("yandex_storage", "query", what);
    e.add_param("status", status);
    return e;
}

vux_err::Error StatusError(int status) {
    switch (status) {
    case 404:
        return StorageError("Remote file not found", status);
    case 507:
        return StorageError("Insufficient storage", status);
    default:
        return StorageError("Status " + std::to_string(status), status);
    }
}

// Passes the body to the caller's stream only while the answer is a success, so that an error
// page never lands in the caller's file; the rest is kept (cut short) for the log.
class SuccessOnly : public std::streambuf {
public:
    SuccessOnly(std::ostream& out, const int& status, int success) : out_(out), status_(status), success_(success) {}
    const std::string& rejected() const { return rejected_; }

protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        if (status_ == success_) return out_.write(s, n) ? n : 0;
        const std::size_t room = rejected_.size() < 1024 ? 1024 - rejected_.size() : 0;
        rejected_.append(s, std::min(room, static_cast<std::size_t>(n)));
        return n;
    }
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        const char ch = traits_type::to_char_type(c);
        return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
    }

private:
    std::ostream& out_;
    const int& status_;
    const int success_;
    std::string rejected_;
};

// Headers that belong to one upload; they must not ride along on later requests.
class UploadHeaders {
public:
    UploadHeaders(HttpQuery& q, const std::vector<std::pair<std::string, std::string>>& headers) : q_(q) {
        for (const auto& [name, value] : headers) {
            q_.SetHeader(name, value);
            names_.push_back(name);
        }
    }
    ~UploadHeaders() {
        for (const std::string& name : names_) q_.DropHeader(name);
    }
    UploadHeaders(const UploadHeaders&) = delete;
    UploadHeaders& operator=(const UploadHeaders&) = delete;

private:
    HttpQuery& q_;
    std::vector<std::string> names_;
};

// Copies the stream into `path` in blocks, flushing a large buffer, and digests it on the way.
void CopyToFile(std::istream& in, const std::string& path, std::string& md5, std::string& sha256) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    if (!file) throw vux_err::Error("yandex_storage", "stream", path);
    vux_hash::Hash md5_hash(vux_hash::HashMD5);
    vux_hash::Hash sha_hash(vux_hash::HashSHA256);
    std::string buffer;
    buffer.reserve(0x501000);
    char block[kBlock];
    const auto flush = [&] {
        if (!file.write(buffer.data(), static_cast<std::streamsize>(buffer.size())))
            throw vux_err::Error("yandex_storage", "stream", path);
        buffer.clear();
    };
    while (in) {
        in.read(block, kBlock);
        const std::size_t n = static_cast<std::size_t>(in.gcount());
        md5_hash.Update(block, n);
        sha_hash.Update(block, n);
        buffer.append(block, n);
        if (buffer.size() >= kFlushAt) flush();
    }
    // A stream that broke off must not be stored as if it were the whole content.
    if (in.bad()) throw vux_err::Error("yandex_storage", "stream", "read");
    flush();
    if (!file.flush()) throw vux_err::Error("yandex_storage", "stream", path);
    md5 = str::hex::Encode(md5_hash.Str());
    sha256 = str::hex::Encode(sha_hash.Str());
}

// The pieces between "/", empty ones included.
std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::string::size_type begin = 0;
    for (;;) {
        const std::string::size_type end = path.find('/', begin);
        parts.push_back(path.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) return parts;
        begin = end + 1;
    }
}

std::string Form(const std::string& text) {
    return str::url::Encode(text);
}

}  // namespace

Yandex::Yandex(const std::string& token) : m_token(token) {
    m_disk = UseEndpoint(*m_impl, "yandex_disk", kDisk).url;
    AddHeader("Authorization", "OAuth " + token);
    AcceptAnyResponse();
}

std::string Yandex::token() const {
    return m_token;
}

std::string Yandex::CheckName(const std::string& name, bool allow_empty) {
    const std::string::size_type start = name.find_first_not_of('/');
    const std::string rest = start == std::string::npos ? "" : name.substr(start);
    if (rest.empty() && !allow_empty) throw vux_err::Error("yandex", "name", name);
    for (const std::string& part : Components(rest))
        if (part == "." || part == "..") throw vux_err::Error("yandex", "name", name);
    return "/" + str::Replace(str::url::Encode(rest), "%2F", "/");
}

std::string Yandex::Url(const std::string& name, bool allow_empty) const {
    return m_disk + CheckName(name, allow_empty);
}

std::string Yandex::GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret) {
    const bool verify = m_impl->verify_public;
    const Endpoint oauth = UseEndpoint(*m_impl, "yandex_oauth", kOAuth);
    SetHeader("Authorization", "Basic " + str::base64::Encode(client_id + ":" + client_secret));
    std::ostringstream answer;
    try {
        HttpQuery::Post(oauth.url + "/token", "grant_type=authorization_code&code=" + Form(code), answer);
    } catch (...) {
        SetHeader("Authorization", "OAuth " + m_token);
        m_impl->verify_public = verify;
        throw;
    }
    SetHeader("Authorization", "OAuth " + m_token);
    m_impl->verify_public = verify;
    try {
        return yandex_answer::Token(Status(), answer.str());
    } catch (const vux_err::Error& e) {
        VUX_LOG(VuxLogModule(), 3, "Yandex token refused: %s", e.value().c_str());
        throw;
    }
}

void Yandex::DropToken() {
    m_token.clear();
    DropHeader("Authorization");
}

int Yandex::Send(const std::string& url, const std::string* data, const std::string& path, const std::string& md5,
                 const std::string& sha256) {
    std::vector<std::pair<std::string, std::string>> headers;
    if (!data) headers.emplace_back("Expect", "100-continue");
    headers.emplace_back("Etag", md5);
    headers.emplace_back("Sha256", sha256);
    if (!data) headers.emplace_back("Transfer-Encoding", "chunked");
    const UploadHeaders scoped(*this, headers);
    for (int attempt = 0;; ++attempt) {
        std::ostringstream answer;
        if (data) {
            HttpQuery::Put(url, *data, answer);
        } else {
            std::ifstream file(path, std::ios::binary);
            if (!file) throw vux_err::Error("yandex_storage", "stream", path);
            HttpQuery::Put(url, static_cast<std::istream&>(file), answer);
        }
        const int status = Status();
        if (status == 201) return status;
        const bool arrived_short = status == 400 || status == 412;
        if (!arrived_short) {
            VUX_LOG(VuxLogModule(), 3, "Yandex upload of '%s' failed with %d: %s", url.c_str(), status, answer.str().c_str());
            throw StatusError(status);
        }
        if (attempt == kRetries) throw StorageError("File is empty", status);
        VUX_LOG(VuxLogModule(), 4, "File is empty. Send retry %d of %d. Wait %d seconds", attempt + 1, kRetries,
                static_cast<int>(m_retry_ms / 1000));
        vux_proc::Sleep(m_retry_ms);
    }
}

int Yandex::Put(const std::string& name, const std::string& data, const std::string&) {
    const std::string url = Url(name);
    const std::string md5 = str::hex::Encode(vux_hash::Hash(vux_hash::HashMD5).Update(data).Str());
    const std::string sha256 = str::hex::Encode(vux_hash::Hash(vux_hash::HashSHA256).Update(data).Str());
    return Send(url, &data, "", md5, sha256);
}

int Yandex::Put(const std::string& name, std::istream& in, const std::string&) {
    const std::string url = Url(name);
    if (::mkdir("yandex", 0700) != 0 && errno != EEXIST) throw vux_err::System("mkdir", errno);
    const vux_file::Tmp tmp("yandex/tmp");
    std::string md5, sha256;
    CopyToFile(in, tmp.name(), md5, sha256);
    return Send(url, nullptr, tmp.name(), md5, sha256);
}

std::ostream& Yandex::Get(const std::string& name, std::ostream& out) {
    const std::string url = Url(name);
    if (!out) return out;
    SuccessOnly filter(out, m_impl->status, 200);
    std::ostream body(&filter);
    try {
        HttpQuery::Get(url, body);
    } catch (...) {
        out.setstate(std::ios::badbit);
        throw;
    }
    const int status = Status();
    if (status == 200 && body) return out;
    out.setstate(std::ios::badbit);
    if (status == 200) throw vux_err::Error("yandex_storage", "query", "Not written");
    VUX_LOG(VuxLogModule(), 3, "Yandex download of '%s' failed with %d: %s", url.c_str(), status, filter.rejected().c_str());
    throw StatusError(status);
}

long long Yandex::CheckFile(const std::string& name) {
    const std::string url = Url(name, true);
    const UploadHeaders depth(*this, {{"Depth", "1"}});
    std::ostringstream answer;
    HttpQuery::Propfind(url, "", answer);
    const int status = Status();
    if (status == 404) return -1;
    if (status != 207) throw StatusError(status);
    return yandex_answer::Size(answer.str());
}

void Yandex::Delete(const std::string& name) {
    const std::string url = Url(name);
    std::ostringstream answer;
    HttpQuery::Delete(url, answer);
    const int status = Status();
    if (status == 204 || status == 200) return;
    if (status == 401) throw StorageError("", status);
    if (status != 202) throw StorageError("Not deleted", status);
    // A directory goes in the background; an object that never goes must not hang the caller.
    for (int count = 1; count <= kMaxChecks; ++count) {
        vux_proc::Sleep(m_poll_ms);
        if (CheckFile(name) < 0) {
            VUX_LOG(VuxLogModule(), 9, "%s:%d It was taken %d counts to check.", VUX_SOURCE_NAME, __LINE__, count);
            return;
        }
    }
    throw StorageError("Not deleted", status);
}

void Yandex::RmDir(const std::string& path) {
    Delete(path);
}

void Yandex::MkPath(const std::string& path) {
    std::string prefix = m_disk;
    for (const std::string& part : Components(CheckName(path, true))) {
        if (part.empty()) continue;
        prefix.append("/").append(part);
        std::ostringstream answer;
        HttpQuery::Mkcol(prefix, "", answer);
        const int status = Status();
        if (status == 201 || status == 405) continue;
        // The directories below cannot be made either.
        VUX_LOG(VuxLogModule(), 3, "MkDir end with error = %d", status);
        return;
    }
}

}  // namespace vux_rpc
