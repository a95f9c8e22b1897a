// Yandex Disk over WebDAV, with an OAuth token.
#ifndef LIBVUX_VUXRPC_YANDEX_H
#define LIBVUX_VUXRPC_YANDEX_H

#include <libvux/vuxrpc.h>

#include <cstddef>
#include <iosfwd>
#include <string>

VUX_API_BEGIN

namespace vux_rpc {

// A Yandex Disk client. The disk's address is "yandex_disk" in etc/endpoints.conf, the token
// service's "yandex_oauth"; at their built-in public addresses the peer's certificate is
// checked against the system's CA store.
//
// Service failures throw vux_err::Error of type "yandex_storage": object "unauthorized"
// (value "Authorization error") for a refused token, else object "query" with the reason as
// value ("Remote file not found", "Not deleted", "Insufficient storage", "File is empty",
// "Status N"; the parameter "status" holds the HTTP status). Transport failures are those of
// HttpQuery.
class Yandex : public HttpQuery {
public:
    // Sends "Authorization: OAuth " + token with every request; statuses are checked here.
    explicit Yandex(const std::string& token);

    std::string token() const;

    // The path of an object name in a URL: leading "/" dropped, then "/" + the rest with every
    // byte but letters, digits and "/" %-encoded. An empty rest throws "yandex"/"name" unless
    // `allow_empty` (the result is then "/"); so do the components "." and "..", which would
    // name another place than asked.
    static std::string CheckName(const std::string& name, bool allow_empty = false);

    // Exchanges an authorisation code for an access token at the token service, which is
    // returned (this client keeps its own token). A refusal throws "yandex_storage"/"query"
    // with "Error-code: CODE - DESCRIPTION".
    std::string GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret);
    // Forgets the token: later requests carry none.
    void DropToken();

    // Stores `data` under `name` (its directory must exist) and returns 201. An answer that
    // the content did not arrive as sent (400, 412) is retried 3 times, 10 s apart, then
    // throws "File is empty". `extra` is not used.
    int Put(const std::string& name, const std::string& data, const std::string& extra = "");
    // The same from a stream, which is first copied to a temporary file under "yandex" (removed
    // afterwards, also on failure). A stream that fails while read throws
    // "yandex_storage"/"stream" and nothing is sent.
    int Put(const std::string& name, std::istream& in, const std::string& extra = "");
    // Writes the object into `out`; nothing of an error answer reaches `out`, which gets badbit
    // when the request fails.
    std::ostream& Get(const std::string& name, std::ostream& out) override;
    // Removes an object or a directory with its content. A removal the service accepts for
    // later (202) is checked every 2 s until the object is gone, giving up after 150 checks
    // with "Not deleted", as for any other refusal (a missing object included).
    void Delete(const std::string& name);
    // Creates each missing directory along `path`; existing ones are fine. A directory the
    // service refuses is logged and ends the walk (nothing thrown).
    void MkPath(const std::string& path);
    void RmDir(const std::string& path);
    // The size of the object (0 for a directory), or -1 when there is none.
    long long CheckFile(const std::string& name);

protected:
    // Pauses between removal checks and between upload retries, in milliseconds.
    unsigned long m_poll_ms = 2000;
    unsigned long m_retry_ms = 10000;

private:
    // The plain requests stay reachable for this class only.
    using HttpQuery::Delete;
    using HttpQuery::Put;

    std::string Url(const std::string& name, bool allow_empty = false) const;
    int Send(const std::string& url, const std::string* data, const std::string& path, const std::string& md5,
             const std::string& sha256);

    std::string m_token;
    std::string m_disk;
};

}  // namespace vux_rpc

VUX_API_END

#endif
