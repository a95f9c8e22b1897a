// What the HTTP and FTP halves of the client share; not installed.
#ifndef LIBVUX_PRIVATE_VUXRPC_H
#define LIBVUX_PRIVATE_VUXRPC_H

#include <libvux/vuxapi.h>

#include <curl/curl.h>

#include <cstddef>

namespace vux_rpc {

// Once per process: the crypto library's thread-safety set-up and curl_global_init.
VUX_INTERNAL void InitLibrary();

// A new easy handle; a failed curl_easy_init throws "rpc"/"init", marked for reporting.
VUX_INTERNAL CURL* NewEasyHandle();

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

}  // namespace vux_rpc

#endif
