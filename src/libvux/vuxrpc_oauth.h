// Finishing an OAuth 2.0 sign-in with Facebook, Google or VKontakte: the code the network
// redirected back with becomes an access token, which reads the user's identity.
#ifndef LIBVUX_VUXRPC_OAUTH_H
#define LIBVUX_VUXRPC_OAUTH_H

#include <libvux/vuxrpc.h>

#include <string>

#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace vux_rpc {

// Each client gets its token at construction; an empty one (the network refused the code)
// throws vux_err::Error "socnetwork"/"notoken". Info sets "id", "email" and "name" in `info`
// (other keys stay) and throws "socnetwork"/"noinfo" with the network's name as value when the
// profile cannot be read. Form values and the token in queries are %-encoded. The networks'
// addresses are configuration (etc/endpoints.conf); at their built-in public addresses the
// peer's certificate is checked against the system's CA store. Transport failures are those of
// HttpQuery.

// Graph API at "facebook_graph".
class Facebook : public HttpQuery {
public:
    Facebook(const std::string& code, const std::string& client_id, const std::string& client_secret,
             const std::string& redirect_uri);
    // The token of a 200 answer (JSON, or form-encoded as older API versions sent it); "" else.
    std::string GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret,
                         const std::string& redirect_uri);
    // Asks for the fields id, email and name, which the Graph API otherwise leaves out.
    void Info(StringMap& info);

private:
    std::string m_token;
};

// Tokens at "google_accounts", profiles at "google_api"; the error value is "google".
class Google : public HttpQuery {
public:
    Google(const std::string& code, const std::string& client_id, const std::string& client_secret,
           const std::string& redirect_uri);
    // "" when the code is refused.
    std::string GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret,
                         const std::string& redirect_uri);
    void Info(StringMap& info);

private:
    std::string m_token;
};

// Tokens at "vkontakte_oauth", profiles at "vkontakte_api". The e-mail address comes with the
// token, not with the profile.
class Vkontakte : public HttpQuery {
public:
    Vkontakte(const std::string& code, const std::string& client_id, const std::string& client_secret,
              const std::string& redirect_uri);
    // Also keeps the user id and e-mail address of the answer; any status but 200 throws
    // "socnetwork"/"notoken".
    std::string GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret,
                         const std::string& redirect_uri);
    // Sends the token and an API version with users.get, without which the API answers an error.
    void Info(StringMap& info);

private:
    std::string m_token;
    std::string m_user_id;
    std::string m_email;
};

}  // namespace vux_rpc

VUX_API_END

#endif
