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

const char* const kOAuth = "https://oauth.vk.com";
const char* const kApi = "https://api.vk.com";
// The API refuses calls that name no version.
const char* const kApiVersion = "5.131";
// Sign-in answers are small; a larger one is cut and then fails to parse.
const std::size_t kMaxAnswer = 1 << 20;

std::string Service(HttpQuery::Implementation& impl, const char* key, const char* builtin) {
    return UseEndpoint(impl, key, builtin).url;
}

}  // namespace

Vkontakte::Vkontakte(const std::string& code, const std::string& client_id, const std::string& client_secret,
                     const std::string& redirect_uri) {
    AcceptAnyResponse();
    SetMaxSize(kMaxAnswer);
    m_token = GetToken(code, client_id, client_secret, redirect_uri);
    if (m_token.empty()) throw vux_err::Error("socnetwork", "notoken");
}

std::string Vkontakte::GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret,
                                const std::string& redirect_uri) {
    using str::url::Encode;
    const std::string form = "code=" + Encode(code) + "&client_id=" + Encode(client_id) + "&client_secret=" +
                             Encode(client_secret) + "&redirect_uri=" + Encode(redirect_uri);
    std::ostringstream answer;
    Post(Service(*m_impl, "vkontakte_oauth", kOAuth) + "/access_token", form, answer);
    try {
        const oauth_answer::VkontakteGrant grant = oauth_answer::VkontakteToken(Status(), answer.str());
        m_user_id = grant.user_id;
        m_email = grant.email;
        return grant.token;
    } catch (const vux_err::Error&) {
        VUX_LOG(VuxLogModule(), 3, "VKontakte token refused (%d): %s", Status(), answer.str().c_str());
        throw;
    }
}

void Vkontakte::Info(StringMap& info) {
    using str::url::Encode;
    const std::string url = Service(*m_impl, "vkontakte_api", kApi) + "/method/users.get?user_id=" + Encode(m_user_id) +
                            "&access_token=" + Encode(m_token) + "&v=" + kApiVersion;
    std::ostringstream answer;
    Get(url, answer);
    oauth_answer::VkontakteProfile(Status(), answer.str(), m_email, info);
}

}  // namespace vux_rpc
