// What the HTTP and FTP halves of the client share; not installed.
#ifndef LIBVUX_PRIVATE_VUXRPC_H
#define LIBVUX_PRIVATE_VUXRPC_H

#include <libvux/vuxapi.h>

#include <curl/curl.h>

#include <cstddef>
#include <string>

#include <libvux/vuxerr.h>
#include <iosfwd>
#include <map>
#include <memory>
#include <string>

#include <libvux/vuxerr.h>
#include <utility>
#include <vector>

#include <libvux/vuxrpc.h>

namespace vux_rpc {

// Once per process: the crypto library's thread-safety set-up and curl_global_init.
VUX_INTERNAL void InitLibrary();

// A new easy handle; a failed curl_easy_init throws "rpc"/"init", marked for reporting.
VUX_INTERNAL CURL* NewEasyHandle();

// A libcurl setting that failed: "rpc"/"init".
VUX_INTERNAL void Check(CURLcode rc);
// A failed request as callers catch it: the plain error (a copy of `fail`), with the URL shown
// at every access level.
[[noreturn]] VUX_INTERNAL void ThrowQuery(const vux_err::Error& fail, const std::string& url);

// Progress: reports the thread state "curl" and never aborts.
VUX_INTERNAL int FailItCallBack(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
// Libcurl's informational text and header chunks, trimmed, at level 9 of "rpc".
VUX_INTERNAL int DebugCallBack(CURL*, curl_infotype type, char* text, std::size_t size, void*);
// Writes everything into the std::ostream behind `stream`; 0 (abort) when it has failed.
VUX_INTERNAL std::size_t WriteToStreamCallBack(char* data, std::size_t size, std::size_t n, void* stream);
VUX_INTERNAL std::size_t WriteToDummyCallBack(char* data, std::size_t size, std::size_t n, void*);
// Reads from the std::istream behind `stream`: 0 (end) at its end, an abort on a read error.
VUX_INTERNAL std::size_t ReadFromStreamCallBack(char* data, std::size_t size, std::size_t n, void* stream);

// Turns verbose tracing through DebugCallBack on when level 9 of "rpc" is enabled.
VUX_INTERNAL CURLcode SetDebug(CURL* curl);

struct HttpQuery::Implementation {
    enum method_t { GET = 1, HEAD = 2, POST = 3, PUT = 4, PATCH = 5, DELETE = 6, PROPFIND = 11, MKCOL = 12 };

    Implementation();
    ~Implementation();
    Implementation(const Implementation&) = delete;
    Implementation& operator=(const Implementation&) = delete;

    std::ostream& Perform(const HttpQuery& owner, method_t method, const std::string& url, const std::string& data,
                          std::ostream& out);

    // The two ends of a request: on this thread, or handed to the Multi it is attached to.
    std::ostream& Finish(const std::string& url, std::ostream& out);
    std::ostream& Start(const HttpQuery& owner, Multi::Data& m, const std::string& url, std::ostream& out);

    static std::size_t WriteToStreamCallBack(char* data, std::size_t size, std::size_t n, void* self);

    std::size_t timeout = 0;
    std::size_t max_size = 0;
    std::size_t written = 0;
    bool cookies = false;
    bool accept_any = false;
    bool include_headers = false;
    bool follow_redirect = true;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string source;
    std::string ca_info;
    // Verify HTTPS peers against the system's CA store even without ca_info.
    bool verify_public = false;
    std::string cert;
    std::string key;
    std::string key_password;
    int ssl_version = 1;
    std::ostream* out = nullptr;
    // Set by Put(url, in, out) for that request only.
    std::istream* in = nullptr;
    curl_slist* header_list = nullptr;
    int status = 0;
    // Weak: the Multi's transfers in flight hold the query, so a strong link back would keep
    // an abandoned Multi and its connections alive for ever.
    std::weak_ptr<Multi::Data> multi;
    bool attached = false;
    CURL* curl = nullptr;

    // Writes what of `n` bytes still fits under the size limit; 0 when `out` has failed.
    std::size_t Write(const char* data, std::size_t n);
};

struct Multi::Data {
    Data();
    ~Data();
    Data(const Data&) = delete;
    Data& operator=(const Data&) = delete;

    CURLM* multi = nullptr;
    std::map<CURL*, Result> results;
    std::size_t count = 0;
};

// A service's base URL: the value of `key` in etc/endpoints.conf ("KEY URL" lines, "#" comments,
// a trailing "/" dropped), else `builtin`. `configured` tells which.
struct Endpoint {
    std::string url;
    bool configured = false;
};
VUX_INTERNAL Endpoint GetEndpoint(const std::string& key, const std::string& builtin);

// Clients that carry credentials to a public service at its built-in address check its certificate
// against the system's CA store; configured (self-hosted) addresses keep the query's own setting.
// Set per endpoint, since one client may talk to several.
VUX_INTERNAL void TrustPublicService(HttpQuery::Implementation& impl, const Endpoint& endpoint);
// GetEndpoint, then TrustPublicService for it.
VUX_INTERNAL Endpoint UseEndpoint(HttpQuery::Implementation& impl, const std::string& key, const std::string& builtin);

}  // namespace vux_rpc

#endif
