#include <libvux/vuxrpc.h>

#include <curl/curl.h>

#include <cstring>
#include <istream>
#include <ostream>

#include <libvux/vuxcrypto.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
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
