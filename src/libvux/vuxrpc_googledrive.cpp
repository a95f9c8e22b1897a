#include <libvux/vuxrpc_googledrive.h>

#include <json/json.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <strings.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <fstream>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <utility>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxstr.h>

#include "private/vuxrpc.h"
#include "private/vuxrpc_drive.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {

const char* const kGoogle = "https://www.googleapis.com";
const char* const kFolder = "application/vnd.google-apps.folder";
const char* const kJsonUtf8 = "application/json; charset=UTF-8";
const char* const kTokenDir = "var/tokens";
const int kMaxRetriedAttempt = 6;
const std::size_t kBlock = 0x40000;
const std::size_t kChunkReserve = 0x1040000;
const std::size_t kChunkFull = 0xffffff;
// A cached token counts as expired this long before its end, so a request does not run into it.
const std::time_t kExpiryMargin = 60;

std::atomic<WaitHook> g_wait_hook{nullptr};

enum GDRequestMethod { GDGet, GDPost, GDPut, GDDelete };

struct GDResponse {
    int status = 0;
    Json::Value json;
    // The answer's text (the body, also the error page of a download); headers when asked for.
    std::string text;
    std::string headers;
};

const Json::Value* Member(const Json::Value& v, const char* name) {
    return v.isObject() ? v.find(name, name + std::strlen(name)) : nullptr;
}

std::string Text(const Json::Value* v) {
    return v && v->isString() ? v->asString() : "";
}

Json::Value Parse(const std::string& text) {
    Json::CharReaderBuilder builder;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value v;
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &v, &errors)) return Json::Value();
    } catch (const Json::Exception&) {
        return Json::Value();
    }
    return v;
}

std::string Compact(const Json::Value& v) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, v);
}

std::string JsonExtract(const std::string& text) {
    const std::string::size_type brace = text.find('{');
    return brace == std::string::npos ? "{}" : text.substr(brace);
}

// error.errors[0] of an error answer, or null.
const Json::Value* FirstError(const Json::Value& json) {
    const Json::Value* error = Member(json, "error");
    const Json::Value* errors = error ? Member(*error, "errors") : nullptr;
    if (!errors || !errors->isArray() || errors->empty()) return nullptr;
    return &(*errors)[0];
}

// Why the answer is worth another attempt, "" when it is not.
std::string RetryReason(const GDResponse& r, int attempt) {
    if (attempt > kMaxRetriedAttempt) return "";
    if (r.status >= 500) return "Server error";
    const Json::Value* first = FirstError(r.json);
    const std::string reason = first ? Text(Member(*first, "reason")) : "";
    if (reason == "rateLimitExceeded" || reason == "userRateLimitExceeded" || reason == "quotaExceeded")
        return "Limit exceeded";
    return "";
}

void ExponentialWait(const std::string& reason, int n) {
    const std::string bytes = str::Random(4);
    std::uint32_t r = 0;
    for (const char c : bytes) r = (r << 8) | static_cast<unsigned char>(c);
    const int ms = (1 << n) * 1000 + static_cast<int>(r % 1000);
    VUX_LOG(VuxLogModule(), 5, "%s. Exponential wait %d milliseconds", reason.c_str(), ms);
    if (const WaitHook hook = g_wait_hook.load()) {
        hook(reason, ms);
        return;
    }
    vux_proc::Sleep(static_cast<unsigned long>(ms));
}

bool NeedRetryGDRequest(const GDResponse& r, int attempt) {
    const std::string reason = RetryReason(r, attempt);
    if (reason.empty()) return false;
    ExponentialWait(reason, attempt);
    return true;
}

vux_err::Error StorageError(const std::string& object, const std::string& value) {
    return vux_err::Error("googledrive_storage", object, value);
}

vux_err::Error NotFound() {
    return StorageError("query", "Remote file not found");
}

void CheckGDErrors(const GDResponse& r) {
    if (r.status >= 200 && r.status < 400) return;
    const char* value = "unknown_error";
    switch (r.status) {
    case 401: value = "authorization"; break;
    case 403: value = "forbidden"; break;
    case 404: value = "not_found"; break;
    case 429: value = "too_many_request"; break;
    case 500: value = "backend_error"; break;
    default: break;
    }
    const Json::Value* first = FirstError(r.json);
    const std::string message = first ? Text(Member(*first, "message")) : "";
    VUX_LOG(VuxLogModule(), 3, "Google Drive: status %d, %s: %s", r.status, value, message.c_str());
    vux_err::Error e = StorageError("query", value);
    e.add_param("status", r.status);
    if (!message.empty()) e.add_message("message", message);
    throw e;
}

GDResponse Judge(int status, const std::string& text) {
    GDResponse r;
    r.status = status;
    r.text = text;
    r.json = Parse(JsonExtract(text));
    return r;
}

// The text of `field` in a good answer; a missing one is an answer the client cannot use.
std::string Field(const GDResponse& r, const char* field) {
    const Json::Value* f = Member(r.json, field);
    if (f && f->isString() && !f->asString().empty()) return f->asString();
    VUX_LOG(VuxLogModule(), 3, "Google Drive: no '%s' in the answer", field);
    vux_err::Error e = StorageError("query", "unknown_error");
    e.add_param("field", field);
    throw e;
}

// The ids of "files" in a list answer.
std::vector<std::string> FileIds(const GDResponse& r) {
    std::vector<std::string> ids;
    const Json::Value* files = Member(r.json, "files");
    if (!files || !files->isArray()) {
        VUX_LOG(VuxLogModule(), 3, "Google Drive: no file list in the answer");
        vux_err::Error e = StorageError("query", "unknown_error");
        e.add_param("field", "files");
        throw e;
    }
    for (const Json::Value& f : *files) {
        const std::string id = Text(Member(f, "id"));
        if (!id.empty()) ids.push_back(id);
    }
    return ids;
}

Endpoint Service(HttpQuery::Implementation& impl, const char* key) {
    return UseEndpoint(impl, key, kGoogle);
}

// Ids go into URL paths; one the service made up of other characters is encoded.
std::string IdPath(const std::string& id) {
    for (const char c : id)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') return str::url::Encode(id);
    return id;
}

// A quoted string in a files query.
std::string QueryQuote(const std::string& s) {
    std::string out;
    for (const char c : s) {
        if (c == '\'' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

StringVector Components(const std::string& path) {
    StringVector parts;
    std::string::size_type start = 0;
    while (start <= path.size()) {
        std::string::size_type end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        if (end > start) parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// Turns the query's inclusion of response headers on for one request.
class HeadersToo {
public:
    explicit HeadersToo(HttpQuery::Implementation& impl) : impl_(impl), was_(impl.include_headers) {
        impl_.include_headers = true;
    }
    ~HeadersToo() { impl_.include_headers = was_; }
    HeadersToo(const HeadersToo&) = delete;
    HeadersToo& operator=(const HeadersToo&) = delete;

private:
    HttpQuery::Implementation& impl_;
    bool was_;
};

// Value of a header in a block of header lines, any case; "" when missing.
std::string HeaderValue(const std::string& block, const std::string& name) {
    std::istringstream lines(block);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string::size_type colon = line.find(':');
        if (colon == std::string::npos || colon != name.size()) continue;
        if (strncasecmp(line.c_str(), name.c_str(), name.size()) != 0) continue;
        return str::Trim(line.substr(colon + 1));
    }
    return "";
}

// Token cache files.

// The cache file of `token`, "" when the token cannot name one (it must stay a single name).
std::string CachePath(const std::string& token) {
    if (token.empty()) return "";
    for (const char c : token)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("._~+-", c)) return "";
    return std::string(kTokenDir) + "/googledrive." + token;
}

void MakeDir(const std::string& path, mode_t mode) {
    if (::mkdir(path.c_str(), mode) != 0 && errno != EEXIST) throw vux_err::System("mkdir", errno);
}

// Written whole beside the file, then renamed over it: a crash leaves the old cache, not half of one.
void WriteCache(const std::string& path, const Json::Value& v) {
    MakeDir("var", 0755);
    MakeDir(kTokenDir, 0700);
    const std::string text = Compact(v);
    const std::string tmp = path + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw vux_err::System("open", errno);
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            const int err = errno;
            ::close(fd);
            ::unlink(tmp.c_str());
            throw vux_err::System("write", err);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw vux_err::System("rename", err);
    }
}

Json::Value ReadCache(const std::string& path) {
    std::ifstream in(path);
    if (!in) return Json::Value();
    std::ostringstream text;
    text << in.rdbuf();
    return Parse(text.str());
}

vux_err::Error TokenError(const GDResponse& r) {
    std::string error = Text(Member(r.json, "error"));
    if (error.empty()) error = std::to_string(r.status);
    VUX_LOG(VuxLogModule(), 3, "Google Drive: token refused: %s", error.c_str());
    vux_err::Error e = StorageError("token", error);
    e.add_param("status", r.status);
    const std::string description = Text(Member(r.json, "error_description"));
    if (!description.empty()) e.add_message("message", description);
    return e;
}

// Copies the stream to a temporary file under tmp/, whose size it returns.
std::int64_t StreamToFile(std::istream& in, const std::string& path) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(kBlock);
    std::int64_t size = 0;
    while (out && in.good()) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        out.write(block.data(), in.gcount());
        size += in.gcount();
    }
    // A source that fails must not pass for its end: the cut file would be stored as whole.
    if (in.bad() || (in.fail() && !in.eof())) throw StorageError("put", "read");
    out.flush();
    if (!out) throw StorageError("put", "write");
    return size;
}

}  // namespace

struct GoogleDrive::Internal {
    static std::string Url(GoogleDrive& gd, const char* key, const std::string& path) {
        return Service(*gd.m_impl, key).url + path;
    }

    // One request with the retries of server errors and rate limits; the status is left to the caller.
    // A download's body goes to `out`, and only a 200 answer's.
    static GDResponse GDPerform(GoogleDrive& gd, GDRequestMethod method, const std::string& url,
                                const std::string& body, std::ostream* out = nullptr, bool headers = false) {
        for (int attempt = 1;; ++attempt) {
            std::ostringstream text;
            std::unique_ptr<StatusGate> gate;
            std::unique_ptr<std::ostream> gated;
            if (out) {
                gate = std::make_unique<StatusGate>(gd.m_impl->status, *out);
                gated = std::make_unique<std::ostream>(gate.get());
            }
            std::ostream& sink = out ? *gated : static_cast<std::ostream&>(text);
            {
                std::unique_ptr<HeadersToo> too;
                if (headers) too = std::make_unique<HeadersToo>(*gd.m_impl);
                switch (method) {
                case GDGet: gd.HttpQuery::Get(url, sink); break;
                case GDPost: gd.HttpQuery::Post(url, body, sink); break;
                case GDPut: gd.HttpQuery::Put(url, body, sink); break;
                case GDDelete: gd.HttpQuery::Delete(url, body, sink); break;
                }
            }
            std::string answer = out ? gate->kept() : text.str();
            std::string head;
            if (headers) {
                const std::string::size_type end = answer.find("\r\n\r\n");
                head = answer.substr(0, end);
                answer = end == std::string::npos ? "" : answer.substr(end + 4);
            }
            GDResponse r = Judge(gd.Status(), answer);
            r.headers = std::move(head);
            VUX_LOG(VuxLogModule(), 9, "%s:%d Google Drive response: '%s'", "vuxrpc_googledrive", __LINE__,
                    JsonExtract(r.text).c_str());
            if (!NeedRetryGDRequest(r, attempt)) return r;
        }
    }

    static GDResponse GDRequest(GoogleDrive& gd, GDRequestMethod method, const std::string& url,
                                const std::string& body = "") {
        GDResponse r = GDPerform(gd, method, url, body);
        CheckGDErrors(r);
        return r;
    }

    static std::string Root(GoogleDrive& gd) {
        if (gd.m_root.empty())
            gd.m_root = Field(GDRequest(gd, GDGet, Url(gd, "googledrive_api", "/drive/v3/files/root")), "id");
        return gd.m_root;
    }

    static std::vector<std::string> Find(GoogleDrive& gd, const std::string& parent_id, const std::string& name) {
        const std::string q = "name = '" + QueryQuote(name) + "' and parents in '" + QueryQuote(parent_id) + "'";
        const std::string url = Url(gd, "googledrive_api", "/drive/v3/files?corpora=user&q=" + str::url::Encode(q) +
                                                               "&fields=files(id,name,parents,mimeType)");
        return FileIds(GDRequest(gd, GDGet, url));
    }

    // The id of the folder `parts[0..n)`, creating what is missing.
    static std::string Folders(GoogleDrive& gd, const StringVector& parts, std::size_t n) {
        std::string id = Root(gd);
        std::string path;
        for (std::size_t i = 0; i < n; ++i) {
            VUX_LOG(VuxLogModule(), 9, "%s:%d Slice : %s", "vuxrpc_googledrive", __LINE__, parts[i].c_str());
            VUX_LOG(VuxLogModule(), 9, "%s:%d Previous : %s", "vuxrpc_googledrive", __LINE__, id.c_str());
            path += "/" + parts[i];
            std::string child = gd.GetName(id, parts[i]);
            if (child.empty()) {
                Json::Value folder(Json::objectValue);
                folder["name"] = parts[i];
                folder["mimeType"] = kFolder;
                folder["parents"].append(id);
                const std::string body = Compact(folder);
                VUX_LOG(VuxLogModule(), 9, "%s:%d Request : %s", "vuxrpc_googledrive", __LINE__, body.c_str());
                RequestHeaders headers(gd);
                headers.Set("Content-Type", kJsonUtf8);
                child = Field(GDRequest(gd, GDPost, Url(gd, "googledrive_api", "/drive/v3/files"), body), "id");
            }
            VUX_LOG(VuxLogModule(), 9, "%s:%d MkPath : %s", "vuxrpc_googledrive", __LINE__, path.c_str());
            id = child;
        }
        return id;
    }

    static void Remove(GoogleDrive& gd, const std::string& id) {
        RequestHeaders headers(gd);
        headers.Set("Content-Type", "application/json");
        const GDResponse r = GDPerform(gd, GDDelete, Url(gd, "googledrive_api", "/drive/v3/files/" + IdPath(id)), "");
        if (r.status == 404) return;
        CheckGDErrors(r);
    }

    // A query for the token endpoint, which takes no bearer token.
    static GoogleDrive TokenQuery() {
        GoogleDrive q("");
        q.DropHeader("Authorization");
        return q;
    }

    static std::string Token(GoogleDrive& q, const std::string& body) {
        RequestHeaders headers(q);
        headers.Set("Content-Type", "application/x-www-form-urlencoded");
        const GDResponse r = GDPerform(q, GDPost, Url(q, "google_oauth_token", "/oauth2/v4/token"), body);
        if (r.status != 200 || Text(Member(r.json, "access_token")).empty()) throw TokenError(r);
        return r.text;
    }

    class Uploader;
};

// The state of one resumable upload.
class GoogleDrive::Internal::Uploader {
public:
    Uploader(GoogleDrive& gd, std::int64_t size) : gd_(gd), size_(size) {}

    void Start(const std::string& name, const std::string& parent_id) {
        Json::Value meta(Json::objectValue);
        meta["name"] = name;
        meta["parents"].append(parent_id);
        RequestHeaders headers(gd_);
        headers.Set("Content-Type", kJsonUtf8);
        headers.Set("X-Upload-Content-Length", std::to_string(size_));
        const std::string url =
            Internal::Url(gd_, "googledrive_upload", "/upload/drive/v3/files?uploadType=resumable");
        const GDResponse r = Internal::GDPerform(gd_, GDPost, url, Compact(meta), nullptr, true);
        CheckGDErrors(r);
        const char* const header = "X-GUploader-UploadID";
        id_ = HeaderValue(r.headers, header);
        if (id_.empty()) {
            VUX_LOG(VuxLogModule(), 3, "Header '%s' missed", header);
            throw StorageError("put", "upload_id");
        }
        VUX_LOG(VuxLogModule(), 9, "%s:%d Got header '%s' = '%s'", "vuxrpc_googledrive", __LINE__, header, id_.c_str());
    }

    // Sends the file in 16 MiB chunks; the id of the stored file.
    std::string Upload(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        if (!in) throw StorageError("put", "read");
        const std::string url = Internal::Url(
            gd_, "googledrive_upload", "/upload/drive/v3/files?uploadType=resumable&upload_id=" + str::url::Encode(id_));
        std::string chunk;
        chunk.reserve(kChunkReserve);
        std::vector<char> block(kBlock);
        std::int64_t first = 0;
        for (;;) {
            chunk.clear();
            while (chunk.size() <= kChunkFull && in.good()) {
                in.read(block.data(), static_cast<std::streamsize>(block.size()));
                chunk.append(block.data(), static_cast<std::size_t>(in.gcount()));
            }
            if (in.bad()) throw StorageError("put", "read");
            const std::int64_t last = first + static_cast<std::int64_t>(chunk.size()) - 1;
            // An empty file has no byte range to name.
            const std::string range = size_ == 0 ? "bytes */0"
                                                 : "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
                                                       std::to_string(size_);
            GDResponse r;
            {
                RequestHeaders headers(gd_);
                headers.Set("Content-Type", " ");
                headers.Set("Content-Length", std::to_string(chunk.size()));
                headers.Set("Content-Range", range);
                r = Internal::GDRequest(gd_, GDPut, url, chunk);
            }
            first = last + 1;
            if (first >= size_) {
                // The service answers a chunk it still waits after with 308.
                if (r.status != 200 && r.status != 201) throw StorageError("put", "incomplete");
                return Field(r, "id");
            }
            if (chunk.empty()) throw StorageError("put", "read");
        }
    }

private:
    GoogleDrive& gd_;
    std::int64_t size_;
    std::string id_;
};

std::string GDAnswerField(int status, const std::string& text, const std::string& field) {
    const GDResponse r = Judge(status, text);
    CheckGDErrors(r);
    if (field == "files.id") {
        const std::vector<std::string> ids = FileIds(r);
        return ids.empty() ? "" : ids.front();
    }
    return Field(r, field.c_str());
}

bool GDAnswerRetries(int status, const std::string& text, int attempt) {
    return !RetryReason(Judge(status, text), attempt).empty();
}

void SetGDWaitHook(WaitHook hook) {
    g_wait_hook.store(hook);
}

GoogleDrive::GoogleDrive(const std::string& token) : m_token(token) {
    AcceptAnyResponse();
    AddHeader("Authorization", "Bearer " + token);
}

std::string GoogleDrive::GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret) {
    const std::string relay = GetEndpoint("oauth_relay", "https://oauth.libvux.org").url;
    GoogleDrive q = Internal::TokenQuery();
    const auto Form = [&](const std::string& v) { return FormValue(*q.m_impl, v); };
    const Json::Value answer = Parse(Internal::Token(q,
        "code=" + Form(code) + "&redirect_uri=" + relay + "/googledrive" + "&client_id=" + Form(client_id) +
        "&client_secret=" + Form(client_secret) + "&grant_type=authorization_code"));
    const std::string access = Text(Member(answer, "access_token"));
    const std::string path = CachePath(access);
    if (path.empty()) {
        VUX_LOG(VuxLogModule(), 4, "Google Drive: an access token that cannot name a cache file is not cached");
        return access;
    }
    const Json::Value* expires = Member(answer, "expires_in");
    Json::Value cache(Json::objectValue);
    cache["access_token"] = access;
    cache["refresh_token"] = Text(Member(answer, "refresh_token"));
    cache["expiry"] = static_cast<Json::Int64>(std::time(nullptr) + (expires && expires->isInt() ? expires->asInt() : 3600));
    cache["client_id"] = client_id;
    cache["client_secret"] = client_secret;
    WriteCache(path, cache);
    return access;
}

std::string GoogleDrive::RefreshToken(const std::string& token) {
    const std::string path = CachePath(token);
    if (path.empty() || !vux_file::Exists(path)) return token;
    Json::Value cache = ReadCache(path);
    const Json::Value* expiry = Member(cache, "expiry");
    const std::string access = Text(Member(cache, "access_token"));
    if (!expiry || !expiry->isInt64() || access.empty()) {
        VUX_LOG(VuxLogModule(), 4, "Google Drive: token cache '%s' is unreadable", path.c_str());
        return token;
    }
    const std::time_t until = static_cast<std::time_t>(expiry->asInt64());
    char when[64] = "";
    struct tm tm;
    if (gmtime_r(&until, &tm)) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &tm);
    VUX_LOG(VuxLogModule(), 9, "%s:%d Get time token '%s'", "vuxrpc_googledrive", __LINE__, when);
    if (std::time(nullptr) + kExpiryMargin < until) return access;
    const std::string refresh = Text(Member(cache, "refresh_token"));
    if (refresh.empty()) throw StorageError("token", "no_refresh_token");
    GoogleDrive q = Internal::TokenQuery();
    const auto Form = [&](const std::string& v) { return FormValue(*q.m_impl, v); };
    const Json::Value answer = Parse(Internal::Token(q,
        "client_id=" + Form(Text(Member(cache, "client_id"))) + "&client_secret=" +
        Form(Text(Member(cache, "client_secret"))) + "&refresh_token=" + Form(refresh) + "&grant_type=refresh_token"));
    const std::string fresh = Text(Member(answer, "access_token"));
    const Json::Value* expires = Member(answer, "expires_in");
    cache["access_token"] = fresh;
    cache["expiry"] = static_cast<Json::Int64>(std::time(nullptr) + (expires && expires->isInt() ? expires->asInt() : 3600));
    const std::string rotated = Text(Member(answer, "refresh_token"));
    if (!rotated.empty()) cache["refresh_token"] = rotated;
    WriteCache(path, cache);
    return fresh;
}

void GoogleDrive::DropToken() {
    const std::string path = CachePath(m_token);
    if (path.empty()) return;
    if (vux_file::Exists(path)) {
        vux_file::RemoveFile(path);
        return;
    }
    // A refreshed token lives in the file of the token it was refreshed from.
    vux_file::Dir dir(kTokenDir, 2);
    while (dir.Read()) {
        if (!dir.HasPrefix("googledrive.") || dir.HasExt("tmp")) continue;
        if (Text(Member(ReadCache(dir.FullName()), "access_token")) == m_token) vux_file::RemoveFile(dir.FullName());
    }
}

std::string GoogleDrive::GetName(const std::string& parent_id, const std::string& name) {
    const std::vector<std::string> ids = Internal::Find(*this, parent_id, name);
    return ids.empty() ? "" : ids.front();
}

std::string GoogleDrive::GetID(const std::string& path) {
    std::string id = Internal::Root(*this);
    for (const std::string& part : Components(path)) {
        id = GetName(id, part);
        if (id.empty()) return "";
    }
    return id;
}

bool GoogleDrive::IsFile(const std::string& path) {
    const std::string id = GetID(path);
    if (id.empty()) throw NotFound();
    const GDResponse r =
        Internal::GDRequest(*this, GDGet, Internal::Url(*this, "googledrive_api", "/drive/v3/files/" + IdPath(id)));
    return Text(Member(r.json, "mimeType")) != kFolder;
}

std::ostream& GoogleDrive::Get(const std::string& path, std::ostream& out) {
    const std::string id = Components(path).empty() ? "" : GetID(path);
    if (id.empty()) throw NotFound();
    const std::string url = Internal::Url(*this, "googledrive_api", "/drive/v3/files/" + IdPath(id) + "?alt=media");
    const GDResponse r = Internal::GDPerform(*this, GDGet, url, "", &out);
    if (r.status == 404) throw NotFound();
    CheckGDErrors(r);
    return out;
}

int GoogleDrive::Put(const std::string& path, std::istream& in, const std::string&) {
    const StringVector parts = Components(path);
    if (parts.empty()) throw StorageError("name", path);
    MakeDir("tmp", 0755);
    vux_file::Tmp file("tmp/googledrive");
    const std::int64_t size = StreamToFile(in, file.name());
    const std::string parent = Internal::Folders(*this, parts, parts.size() - 1);
    // The service keeps any number of files of one name: the old ones go once the new one is there.
    const std::vector<std::string> old = Internal::Find(*this, parent, parts.back());
    Internal::Uploader up(*this, size);
    up.Start(parts.back(), parent);
    const std::string id = up.Upload(file.name());
    for (const std::string& previous : old) {
        if (previous == id) continue;
        try {
            Internal::Remove(*this, previous);
        } catch (const vux_err::Error& e) {
            VUX_LOG(VuxLogModule(), 4, "Google Drive: the former '%s' stays: %s", path.c_str(), e.what());
        }
    }
    return 200;
}

int GoogleDrive::Put(const std::string& path, const std::string& data, const std::string& extra) {
    std::istringstream in(data);
    return Put(path, in, extra);
}

void GoogleDrive::Delete(const std::string& path) {
    if (Components(path).empty()) throw StorageError("name", path);
    const std::string id = GetID(path);
    if (id.empty()) {
        VUX_LOG(VuxLogModule(), 4, "Google Drive: '%s' was not there to delete", path.c_str());
        return;
    }
    Internal::Remove(*this, id);
}

void GoogleDrive::RmDir(const std::string& path) {
    Delete(path);
}

void GoogleDrive::MkPath(const std::string& path) {
    VUX_LOG(VuxLogModule(), 9, "%s:%d External path : %s", "vuxrpc_googledrive", __LINE__, path.c_str());
    const StringVector parts = Components(path);
    Internal::Folders(*this, parts, parts.size());
}

}  // namespace vux_rpc
