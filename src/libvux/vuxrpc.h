// Outbound HTTP(S) and FTP(S) over libcurl: one reusable query handle per thread, parallel
// transfers through Multi, and one-shot fetch helpers.
#ifndef LIBVUX_VUXRPC_H
#define LIBVUX_VUXRPC_H

#include <libvux/vuxapi.h>

#include <cstddef>
#include <iosfwd>
#include <memory>
#include <string>

#include <libvux/vuxerr.h>
#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace vux_rpc {

// The error of this namespace: type "rpc", object `what`, value `what` + ": " + libcurl's text
// for the code. `Code` is CURLcode (89, libcurl's last-code sentinel, means "no libcurl error")
// or CURLMcode (0 means none); both are instantiated in the library, so callers that include
// <curl/curl.h> can raise and compare these errors without this header naming libcurl.
class Fail : public vux_err::Error {
public:
    template <class Code>
    Fail(const std::string& what, Code code);
    // The SSH client's form: type "ssh", object "ssh_obj_" + object, and the message "detail"
    // = "ssh_detail_" + detail, visible at every access level.
    Fail(const std::string& object, const std::string& detail, const std::string& value);
};

class Multi;

// One HTTP request at a time over a reusable libcurl handle; copies share the handle, its open
// connections and its cookies, so a copy must stay on the thread of the original. Setters only
// record values for the next request and return the query for chaining.
//
// Every request streams the response body into `out` and returns it. A status outside 200..399
// (unless AcceptAnyResponse) and any transfer failure set badbit on `out` and throw
// vux_err::Error "rpc"/"query" with the parameter "url"; a body cut at SetMaxSize is no error:
// `out` holds exactly the maximum and has badbit set. A request on a failed `out` does nothing.
class HttpQuery {
public:
    struct VUX_INTERNAL Implementation;

    // Creates the libcurl handle; a failed curl_easy_init throws "rpc"/"init" (reported).
    HttpQuery();
    HttpQuery(const HttpQuery& other) = default;
    HttpQuery& operator=(const HttpQuery& other) = default;
    virtual ~HttpQuery();

    // Seconds for the connection and the whole transfer; 0 = none.
    HttpQuery& SetTimeout(std::size_t seconds);
    // Body bytes kept; 0 = unlimited.
    HttpQuery& SetMaxSize(std::size_t bytes);
    HttpQuery& EnableCookie();
    HttpQuery& AcceptAnyResponse();
    // Response header lines (not the status line) go to the output before the body.
    HttpQuery& AcceptHeader();
    HttpQuery& SetFollowRedirect(bool follow);
    // Only 3 (SSLv3) is passed on; other values keep libcurl's default.
    HttpQuery& SetSslVersion(int version);
    // Outgoing interface or address.
    HttpQuery& SetSource(const std::string& source);
    // A CA file makes HTTPS verify the peer and its host name against it; without one any
    // peer certificate is accepted (panels talk to each other over self-signed certificates).
    HttpQuery& SetCaInfo(const std::string& path);
    HttpQuery& SetCertifacate(const std::string& cert, const std::string& key, const std::string& password);
    // Headers are sent in insertion order as "name: value".
    HttpQuery& AddHeader(const std::string& name, const std::string& value);
    // Splits at the first ": "; a line without one becomes a name with an empty value.
    HttpQuery& AddHeader(const std::string& line);
    // Replaces the value of the first header of exactly this name, else appends.
    HttpQuery& SetHeader(const std::string& name, const std::string& value);
    // Removes the first header of exactly this name, if any.
    HttpQuery& DropHeader(const std::string& name);
    HttpQuery& SetCookie(const std::string& text);
    // From now on requests only start and Multi::Wait finishes them; allowed once.
    HttpQuery& SetMulti(Multi* multi);

    // Status of the last response; 0 before any.
    int Status() const;

    virtual std::ostream& Get(const std::string& url, std::ostream& out);
    virtual std::ostream& Head(const std::string& url, std::ostream& out);
    virtual std::ostream& Delete(const std::string& url, std::ostream& out);
    virtual std::ostream& Delete(const std::string& url, const std::string& data, std::ostream& out);
    virtual std::ostream& Post(const std::string& url, const std::string& data, std::ostream& out);
    virtual std::ostream& Put(const std::string& url, const std::string& data, std::ostream& out);
    // Streams the body from `in` (chunked when the length is unknown to libcurl).
    virtual std::ostream& Put(const std::string& url, std::istream& in, std::ostream& out);
    virtual std::ostream& Patch(const std::string& url, const std::string& data, std::ostream& out);
    // Only the method is sent: `data` is not transmitted.
    virtual std::ostream& Propfind(const std::string& url, const std::string& data, std::ostream& out);
    virtual std::ostream& Mkcol(const std::string& url, const std::string& data, std::ostream& out);

protected:
    std::shared_ptr<Implementation> m_impl;
};

// Parallel transfers: queries attached with SetMulti start at their request call and finish in
// Wait, which hands back each one exactly once. A failed transfer is reported through badbit on
// its output stream, not by an exception.
class Multi {
public:
    struct VUX_INTERNAL Data;
    struct Result {
        HttpQuery query;
        std::ostream* out;
        std::string url;
    };

    // A failed curl_multi_init throws "rpc"/"init" (reported).
    Multi();
    // Blocks until a transfer finishes. Throws vux_rpc::Fail "fdset" or "select" when waiting
    // itself fails; asserts when nothing is in flight.
    Result Wait();
    // True when no transfer is in flight.
    bool empty() const;

private:
    friend class HttpQuery;
    std::shared_ptr<Data> m_data;
};

// FTP, or explicit-TLS FTP for an "ftps://" URL (peer certificates are not verified; a server
// without TLS is used in plain text). Remote paths are URL path text relative to the base path
// of the URL ("%xx" is decoded); "#" and "?" are sent as "%23" and "%3F", and a path that would
// carry "%00", CR or LF is refused with vux_err::Error "invalid_url", as is a bad port. libcurl
// failures throw "rpc"/"query" with the parameter "url"; only ftp and ftps are spoken.
class Ftp {
public:
    struct VUX_INTERNAL Data;
    enum mode_t { Active = 0, Passive = 1 };

    // An empty user logs in as "anonymous". `timeout` bounds connecting and the server's
    // connection back in active mode, in seconds.
    Ftp(const std::string& url, const std::string& user, const std::string& password, std::size_t timeout);
    // Passive is the default.
    void SetMode(mode_t mode);

    // Downloads into a new local file; on failure the file is removed before the error leaves.
    // A local file that cannot be opened or written throws vux_file::Fail "open" or "write".
    void Get(const std::string& remote, const std::string& local_path);
    void Get(const std::string& remote, std::ostream& out);
    // Creates missing directories on the way. False when the upload was cut off while sending;
    // throws on other failures.
    bool Put(const std::string& local_path, const std::string& remote);
    bool Put(std::istream& in, const std::string& remote);

    // Appends the names (no paths) in the directory; nothing is appended when it fails.
    void List(const std::string& path, StringList& out);
    void List(StringList& out);
    // Creates the last component of `path` in its parent; failures are ignored.
    void MkPath(const std::string& path);
    // Removes a file or link, or a directory with everything in it (links inside are removed,
    // never followed). A missing entry throws "rpc"/"query"; a last name "." or ".." is refused
    // with "invalid_url".
    void Delete(const std::string& path);

private:
    std::shared_ptr<Data> m_data;
};

// The body of a GET cut at `maxsize` bytes (0 = unlimited); "" on any failure, which is logged.
std::string FetchString(const std::string& url, std::size_t maxsize = 0);
// Asks every address of the URL's host at once and returns the first good answer; a host with
// fewer than two addresses, or an address literal, is fetched as FetchString does. Throws
// vux_err::Error "rpc"/"fetch" when no address answers.
std::string FastFetchString(const std::string& url, std::size_t maxsize = 0);
// The Content-Length of a HEAD response; 0 when there is none.
std::size_t FetchFileSize(const std::string& url);
// Downloads into `path`. False when the file cannot be opened, the announced size exceeds
// `maxsize` (0 = unlimited), the body was cut at `maxsize`, or the fetch failed (logged); a file
// opened for it is then removed, so no partial download stays behind.
bool FetchFile(const std::string& url, const std::string& path, std::size_t maxsize = 0);

}  // namespace vux_rpc

VUX_API_END

// The storage and sign-in clients are built on HttpQuery; this header brings them all.
#include <libvux/vuxrpc_dropbox.h>
#include <libvux/vuxrpc_googledrive.h>
#include <libvux/vuxrpc_oauth.h>
#include <libvux/vuxrpc_s3.h>
#include <libvux/vuxrpc_yandex.h>

#endif
