// Google Drive (API v3): files under slash-separated paths of folders in the user's drive.
#ifndef LIBVUX_VUXRPC_GOOGLEDRIVE_H
#define LIBVUX_VUXRPC_GOOGLEDRIVE_H

#include <libvux/vuxrpc.h>

#include <iosfwd>
#include <string>

VUX_API_BEGIN

namespace vux_rpc {

// The endpoints are "googledrive_api", "googledrive_upload" and "google_oauth_token" of
// etc/endpoints.conf (built in: the public service, whose certificate is then checked against the
// system's CA store).
//
// Tokens. The client is built from an access token. GetToken caches what the sign-in gives in
// "var/tokens/googledrive." + the first access token (mode 0600: access and refresh token, expiry,
// and the client id and secret the refresh needs); that first token is the one a panel keeps.
// RefreshToken(kept token) gives a valid access token for the constructor, refreshing the cache
// file in place when it has expired.
//
// Requests answered with a status of 500 or more, or refused for a rate limit, are retried up to
// 6 times, waiting 2^n seconds and up to one more (n = the attempt). Then an error status throws
// vux_err::Error "googledrive_storage"/"query" with the value "authorization" (401), "forbidden"
// (403), "not_found" (404), "too_many_request" (429), "backend_error" (500) or "unknown_error",
// and the service's message as the message parameter "message". A file that is not there throws
// "googledrive_storage"/"query"/"Remote file not found". Transport failures are HttpQuery's.
class GoogleDrive : public HttpQuery {
public:
    // Every request carries "Authorization: Bearer " + token.
    explicit GoogleDrive(const std::string& token);

    const std::string& token() const { return m_token; }
    // Exchanges an authorization code (redirected through "oauth_relay" + "/googledrive") for
    // tokens, caches them and returns the access token. A refused code throws
    // "googledrive_storage"/"token" with the service's "error" as value.
    static std::string GetToken(const std::string& code, const std::string& client_id,
                                const std::string& client_secret);
    // A valid access token for `token`: the cached one while it lasts, a refreshed one after;
    // `token` itself when nothing is cached for it. A refused refresh throws
    // "googledrive_storage"/"token".
    static std::string RefreshToken(const std::string& token);
    // Removes the cached tokens of this client's token (the file of that name, or the one whose
    // refreshed access token it is).
    void DropToken();

    // The id of the file or folder at `path` ("" or "/" is the root); "" when it is not there.
    std::string GetID(const std::string& path);
    // The id of the entry `name` in the folder `parent_id`; "" when there is none.
    std::string GetName(const std::string& parent_id, const std::string& name);
    // True for a file, false for a folder; a missing path throws "Remote file not found".
    bool IsFile(const std::string& path);

    using HttpQuery::Delete;
    using HttpQuery::Get;
    using HttpQuery::Put;

    // Stores the bytes under `path`, replacing a file of that name, after creating missing
    // folders. The stream is first copied to a temporary file under tmp/; one that fails while
    // being read throws "googledrive_storage"/"put" and stores nothing. `extra` is not used.
    // Returns 200.
    int Put(const std::string& path, std::istream& in, const std::string& extra = "");
    int Put(const std::string& path, const std::string& data, const std::string& extra = "");
    // The file's bytes into `out`; an error answer never reaches it.
    std::ostream& Get(const std::string& path, std::ostream& out) override;
    // A file, or a folder with its content; one that is not there is no error. The root is refused
    // ("googledrive_storage"/"name").
    void Delete(const std::string& path);
    void RmDir(const std::string& path);
    // Creates each missing folder of `path`.
    void MkPath(const std::string& path);

private:
    struct VUX_INTERNAL Internal;
    friend struct Internal;

    std::string m_token;
    std::string m_root;
};

}  // namespace vux_rpc

VUX_API_END

#endif
