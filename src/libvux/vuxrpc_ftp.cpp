#include <libvux/vuxrpc.h>

#include <curl/curl.h>
#include <unistd.h>

#include <istream>
#include <memory>
#include <ostream>

#include <libvux/vuxerr.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxprofiler.h>
#include <libvux/vuxstream.h>
#include <libvux/vuxthread.h>

#include "private/vuxrpc.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {

// Libcurl would take "#" and "?" as the end of the path and silently act on a shorter name.
std::string UrlPath(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        if (c == '#')
            out += "%23";
        else if (c == '?')
            out += "%3F";
        else
            out += c;
    }
    return out;
}

// A name as the server lists it, made into path text that decodes back to it.
std::string EscapeName(const std::string& name) {
    std::string out;
    for (char c : name) out += c == '%' ? std::string("%25") : std::string(1, c);
    return out;
}

// What the server gets for path text, as libcurl decodes it.
std::string Decode(const std::string& text) {
    int n = 0;
    char* raw = curl_easy_unescape(nullptr, text.data(), static_cast<int>(text.size()), &n);
    if (!raw) throw std::bad_alloc();
    std::string out(raw, static_cast<std::size_t>(n));
    curl_free(raw);
    return out;
}

// Commands for the server, freed with the object.
class Commands {
public:
    explicit Commands(const std::string& command) : list_(curl_slist_append(nullptr, command.c_str())) {
        if (!list_) throw std::bad_alloc();
    }
    ~Commands() { curl_slist_free_all(list_); }
    Commands(const Commands&) = delete;
    Commands& operator=(const Commands&) = delete;
    curl_slist* get() const { return list_; }

private:
    curl_slist* list_;
};

// A names-only listing as it arrives: whole lines go to `out` at once, the last one at Flush.
struct Listing {
    StringList& out;
    std::string pending;

    void Line(std::string line) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::string::size_type slash = line.rfind('/');
        if (slash != std::string::npos) line.erase(0, slash + 1);
        if (!line.empty()) out.push_back(line);
    }
    void Flush() {
        Line(pending);
        pending.clear();
    }
};

std::size_t GetListingCallBack(char* data, std::size_t size, std::size_t n, void* listing) {
    vux_thread::SetStateC("curl_write");
    Listing& l = *static_cast<Listing*>(listing);
    l.pending.append(data, size * n);
    std::string::size_type start = 0;
    for (std::string::size_type end; (end = l.pending.find('\n', start)) != std::string::npos; start = end + 1)
        l.Line(l.pending.substr(start, end - start));
    l.pending.erase(0, start);
    return size * n;
}

// What one transfer does besides talking to the URL; nothing set means no transfer at all.
struct Transfer {
    std::ostream* out = nullptr;
    Listing* listing = nullptr;
    std::istream* in = nullptr;
    // Sent after the transfer, in the URL's directory.
    curl_slist* commands = nullptr;
};

}  // namespace

struct Ftp::Data {
    std::string prefix;
    std::string base;
    CURL* curl = nullptr;

    Data() : curl(NewEasyHandle()) {}
    ~Data() { curl_easy_cleanup(curl); }
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    void Connect(const std::string& url);
    std::string Url(const std::string& path) const;
    // A URL that ends in "/": libcurl changes into the directory instead of naming a file.
    std::string DirUrl(const std::string& path) const;
    CURLcode Run(const std::string& url, const Transfer& transfer);
    // Run, throwing "query" for any failure but `tolerated`, which is returned.
    CURLcode Perform(const std::string& url, const Transfer& transfer, CURLcode tolerated = CURLE_OK);
    CURLcode List(const std::string& dir_url, StringList& out);
    // Sends `command` for `name` in the directory `parent` (path text).
    CURLcode Command(const std::string& parent, const std::string& command, const std::string& name);
    void Remove(const std::string& path);
};

void Ftp::Data::Connect(const std::string& url) {
    std::string scheme = "ftp", rest = url;
    const std::string::size_type sep = url.find("://");
    if (sep != std::string::npos) {
        scheme = url.substr(0, sep);
        rest = url.substr(sep + 3);
    }
    const std::string::size_type slash = rest.find('/');
    std::string host = rest.substr(0, slash);
    base = slash == std::string::npos ? "" : rest.substr(slash);

    const std::string::size_type colon = host[0] == '[' ? host.find("]:") : host.find(':');
    if (colon != std::string::npos) {
        const std::string port = host.substr(colon + (host[0] == '[' ? 2 : 1));
        host.erase(colon + (host[0] == '[' ? 1 : 0));
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(port) > 65535)
            throw vux_err::Error("invalid_url");
        Check(curl_easy_setopt(curl, CURLOPT_PORT, std::stol(port)));
    }
    if (scheme == "ftps") {
        // Explicit TLS on the ordinary control port, upgraded where the server offers it.
        Check(curl_easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_TRY)));
        Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L));
        Check(curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L));
        // Servers that insist on the control connection's TLS session for data (vsftpd does by
        // default) refuse libcurl's TLS 1.3 data connections, whose tickets come too late.
        const long tls12 = static_cast<long>(CURL_SSLVERSION_DEFAULT) | static_cast<long>(CURL_SSLVERSION_MAX_TLSv1_2);
        Check(curl_easy_setopt(curl, CURLOPT_SSLVERSION, tls12));
        scheme = "ftp";
    }
    prefix = scheme + "://" + host;
}

std::string Ftp::Data::Url(const std::string& path) const {
    const std::string url = prefix + UrlPath(vux_file::ConcatPath(base, path));
    // A NUL, CR or LF reaching the server would end the command and start another.
    const std::string breaks("\0\r\n", 3);
    if (url.find("%00") != std::string::npos || Decode(url).find_first_of(breaks) != std::string::npos)
        throw vux_err::Error("invalid_url");
    return url;
}

std::string Ftp::Data::DirUrl(const std::string& path) const {
    const std::string url = Url(path);
    return url.back() == '/' ? url : url + "/";
}

CURLcode Ftp::Data::Run(const std::string& url, const Transfer& t) {
    const bool body = t.out || t.listing || t.in;
    Listing* const listing = t.listing;
    CURLcode rc = curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_NOBODY, body ? 0L : 1L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_DIRLISTONLY, listing ? 1L : 0L);
    if (rc == CURLE_OK && listing) rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &GetListingCallBack);
    if (rc == CURLE_OK && listing) rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, listing);
    if (rc == CURLE_OK && t.out) rc = curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteToStreamCallBack);
    if (rc == CURLE_OK && t.out) rc = curl_easy_setopt(curl, CURLOPT_WRITEDATA, t.out);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_UPLOAD, t.in ? 1L : 0L);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_FTP_CREATE_MISSING_DIRS, t.in ? 1L : 0L);
    if (rc == CURLE_OK && t.in) rc = curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadFromStreamCallBack);
    if (rc == CURLE_OK && t.in) rc = curl_easy_setopt(curl, CURLOPT_READDATA, t.in);
    if (rc == CURLE_OK) rc = curl_easy_setopt(curl, CURLOPT_POSTQUOTE, t.commands);
    Check(rc);
    vux_thread::SetStateC("curl_perform");
    rc = curl_easy_perform(curl);
    // The next operation must not inherit this one's streams or commands.
    curl_easy_setopt(curl, CURLOPT_POSTQUOTE, nullptr);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &WriteToDummyCallBack);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_READDATA, nullptr);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 0L);
    curl_easy_setopt(curl, CURLOPT_FTP_CREATE_MISSING_DIRS, 0L);
    if (listing && rc == CURLE_OK) listing->Flush();
    return rc;
}

CURLcode Ftp::Data::Perform(const std::string& url, const Transfer& transfer, CURLcode tolerated) {
    const CURLcode rc = Run(url, transfer);
    if (rc != CURLE_OK && rc != tolerated) ThrowQuery(Fail("query", rc), url);
    return rc;
}

CURLcode Ftp::Data::List(const std::string& dir_url, StringList& out) {
    StringList names;
    Listing listing{names, ""};
    Transfer t;
    t.listing = &listing;
    const CURLcode rc = Run(dir_url, t);
    if (rc == CURLE_OK) out.splice(out.end(), names);
    return rc;
}

CURLcode Ftp::Data::Command(const std::string& parent, const std::string& command, const std::string& name) {
    const Commands commands(command + " " + Decode(name));
    Transfer t;
    t.commands = commands.get();
    return Run(DirUrl(parent), t);
}

// Tries the entry as a file first: a link to a directory goes as a link, and what it points
// to is never listed and emptied. "." and ".." are refused: RMD cannot take them, so only
// the emptying would happen.
void Ftp::Data::Remove(const std::string& path) {
    const std::string url = Url(path);
    const std::pair<std::string, std::string> split = vux_file::SplitPath(vux_file::GoodPath(path));
    const std::string name = Decode(split.second);
    if (name.empty() || name == "." || name == "..") throw vux_err::Error("invalid_url");
    const CURLcode as_file = Command(split.first, "DELE", split.second);
    if (as_file == CURLE_OK) return;
    StringList entries;
    if (List(DirUrl(path), entries) != CURLE_OK) ThrowQuery(Fail("query", as_file), url);
    for (const std::string& entry : entries)
        if (entry != "." && entry != "..") Remove(path + "/" + EscapeName(entry));
    const CURLcode as_dir = Command(split.first, "RMD", split.second);
    if (as_dir != CURLE_OK) ThrowQuery(Fail("query", as_dir), url);
}

Ftp::Ftp(const std::string& url, const std::string& user, const std::string& password, std::size_t timeout)
    : m_data(std::make_shared<Data>()) {
    CURL* curl = m_data->curl;
    Check(curl_easy_setopt(curl, CURLOPT_USERNAME, user.empty() ? "anonymous" : user.c_str()));
    Check(curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str()));
    Check(curl_easy_setopt(curl, CURLOPT_FTP_USE_EPSV, 0L));
    Check(curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(timeout)));
    Check(curl_easy_setopt(curl, CURLOPT_ACCEPTTIMEOUT_MS, static_cast<long>(timeout * 1000)));
    Check(curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L));
    // A URL from a panel setting must not reach local files or other protocols.
    Check(curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp,ftps"));
    Check(SetDebug(curl));
    m_data->Connect(url);
}

void Ftp::SetMode(mode_t mode) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    Check(curl_easy_setopt(m_data->curl, CURLOPT_FTPPORT, mode == Active ? "-" : nullptr));
}

void Ftp::Get(const std::string& remote, const std::string& local_path) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    const std::string url = m_data->Url(remote);
    vux_stream::OutStream out(local_path);
    if (!out.IsOpen()) throw vux_file::Fail("open", local_path);
    try {
        Get(remote, out);
        // A full disk shows only when the last bytes leave the buffer.
        if (!out.flush()) throw vux_file::Fail("write", local_path);
    } catch (...) {
        out.Close();
        ::unlink(local_path.c_str());
        throw;
    }
}

void Ftp::Get(const std::string& remote, std::ostream& out) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    vux_profiler::Task task("rpc");
    Transfer t;
    t.out = &out;
    m_data->Perform(m_data->Url(remote), t);
}

bool Ftp::Put(const std::string& local_path, const std::string& remote) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    vux_stream::InStream in(local_path);
    if (!in.IsOpen()) throw vux_file::Fail("open", local_path);
    return Put(in, remote);
}

bool Ftp::Put(std::istream& in, const std::string& remote) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    vux_profiler::Task task("rpc");
    const std::string url = m_data->Url(remote);
    Transfer t;
    t.in = &in;
    if (m_data->Perform(url, t, CURLE_SEND_ERROR) == CURLE_OK) return true;
    VUX_LOG(VuxLogModule(), 4, "Upload to '%s' cut off", url.c_str());
    return false;
}

void Ftp::List(const std::string& path, StringList& out) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    vux_profiler::Task task("rpc");
    const std::string url = m_data->DirUrl(path);
    const CURLcode rc = m_data->List(url, out);
    if (rc != CURLE_OK) ThrowQuery(Fail("query", rc), url);
}

void Ftp::List(StringList& out) {
    List("", out);
}

void Ftp::MkPath(const std::string& path) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    vux_profiler::Task task("rpc");
    m_data->Url(path);
    const std::pair<std::string, std::string> split = vux_file::SplitPath(vux_file::GoodPath(path));
    if (split.second.empty()) return;
    const CURLcode rc = m_data->Command(split.first, "MKD", split.second);
    if (rc != CURLE_OK) VUX_LOG(VuxLogModule(), 9, "MKD '%s' failed: %s", path.c_str(), curl_easy_strerror(rc));
}

void Ftp::Delete(const std::string& path) {
    VUX_LOG(VuxLogModule(), 8, "%s", __PRETTY_FUNCTION__);
    vux_profiler::Task task("rpc");
    m_data->Remove(path);
}

}  // namespace vux_rpc
