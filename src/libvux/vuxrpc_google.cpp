#include <libvux/vuxrpc_oauth.h>

#include <sstream>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>

#include "private/vuxrpc.h"
#include "private/vuxrpc_oauth.h"

VUX_LOG_MODULE("rpc", "core")

namespace vux_rpc {

namespace {

const char* const kAccounts = "https://accounts.google.com";
const char* const kApi = "https://www.googleapis.com";
// Sign-in answers are small; a larger one is cut and then fails to parse.
const std::size_t kMaxAnswer = 1 << 20;

std::string Service(HttpQuery::Implementation& impl, const char* key, const char* builtin) {
    return UseEndpoint(impl, key, builtin).url;
}

}  // namespace

Google::Google(const std::string& code, const std::string& client_id, const std::string& client_secret,
               const std::string& redirect_uri) {
    AcceptAnyResponse();
    SetMaxSize(kMaxAnswer);
    m_token = GetToken(code, client_id, client_secret, redirect_uri);
    if (m_token.empty()) throw vux_err::Error("socnetwork", "notoken");
}

std::string Google::GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret,
                             const std::string& redirect_uri) {
    using str::url::Encode;
    const std::string form = "code=" + Encode(code) + "&client_id=" + Encode(client_id) + "&client_secret=" +
                             Encode(client_secret) + "&redirect_uri=" + Encode(redirect_uri) +
                             "&grant_type=authorization_code";
    const std::string url = Service(*m_impl, "google_accounts", kAccounts) + "/o/oauth2/token";
    std::ostringstream answer;
    SetHeader("Content-type", "application/x-www-form-urlencoded");
    try {
        Post(url, form, answer);
    } catch (...) {
        DropHeader("Content-type");
        throw;
    }
    DropHeader("Content-type");
    const std::string token = oauth_answer::GoogleToken(Status(), answer.str());
    if (token.empty()) VUX_LOG(VuxLogModule(), 3, "Google token refused (%d): %s", Status(), answer.str().c_str());
    return token;
}

void Google::Info(StringMap& info) {
    const std::string url = Service(*m_impl, "google_api", kApi) + "/oauth2/v1/userinfo?access_token=" + str::url::Encode(m_token);
    std::ostringstream answer;
    Get(url, answer);
    oauth_answer::Profile("google", Status(), answer.str(), info);
}

}  // namespace vux_rpc
