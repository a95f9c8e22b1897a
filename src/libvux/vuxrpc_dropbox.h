// Dropbox (API version 2): files under names in the account's folder, with the OAuth access token
// as the only credential.
#ifndef LIBVUX_VUXRPC_DROPBOX_H
#define LIBVUX_VUXRPC_DROPBOX_H

#include <libvux/vuxrpc.h>

#include <cstddef>
#include <iosfwd>
#include <string>

VUX_API_BEGIN

namespace vux_rpc {

// The API and content endpoints are "dropbox_api" and "dropbox_content" of etc/endpoints.conf
// (built in: the public service, whose certificate is then checked against the system's CA store).
//
// Service answers other than success throw vux_err::Error of type "dropbox" with the step as
// object ("put", "get", "delete", "token", "drop_token") and the service's "error_summary" (or
// the HTTP status) as value; a file that is not there throws "dropbox_storage"/"query" with the
// value "Remote file not found". Transport failures are those of HttpQuery. Nothing is retried.
class Dropbox : public HttpQuery {
public:
    // Every request carries "Authorization: Bearer " + token.
    explicit Dropbox(const std::string& token);

    const std::string& token() const { return m_token; }
    // Exchanges an authorization code from the sign-in page (redirected through the panel maker's
    // relay, "oauth_relay" + "/dropbox") for an access token. The client id and secret are only
    // sent. A refused code throws "dropbox"/"token" with the service's "error" as value.
    static std::string GetToken(const std::string& code, const std::string& client_id,
                                const std::string& client_secret);
    // Revokes the token at the service; this client cannot be used afterwards.
    void DropToken();

    // "/" + name without its leading "/"s; an empty rest throws "dropbox"/"name" unless
    // `allow_empty`.
    static std::string CheckName(const std::string& name, bool allow_empty = false);

    using HttpQuery::Delete;
    using HttpQuery::Get;
    using HttpQuery::Put;

    // One upload of the whole string, replacing what was there; more than 150 MiB - 1 bytes is a
    // broken invariant ("Too large data. Use Put with stream"). `extra` is not used. Returns 200.
    int Put(const std::string& name, const std::string& data, const std::string& extra = "");
    // An upload session of 4 MiB chunks; a stream that fails while being read throws
    // "dropbox"/"put" and commits nothing. Returns 200.
    int Put(const std::string& name, std::istream& in, const std::string& extra = "");
    // The file's bytes into `out`; an error answer never reaches it.
    std::ostream& Get(const std::string& name, std::ostream& out) override;
    // A file or a folder with everything in it; one that is not there is no error.
    void Delete(const std::string& name);
    // Nothing: folders come with the files put into them.
    void MkPath(const std::string& path);
    void RmDir(const std::string& path);

    // The steps of an upload session. Offsets count the bytes sent before the chunk; the finish
    // commits the file under `name` and returns its size as the service reports it.
    std::string StartUpload(const std::string& chunk);
    void AppendData(const std::string& session_id, const std::string& chunk, std::size_t offset);
    std::size_t FinishUpload(const std::string& session_id, const std::string& chunk, const std::string& name,
                             std::size_t offset);

private:
    std::string m_token;
};

}  // namespace vux_rpc

VUX_API_END

#endif
