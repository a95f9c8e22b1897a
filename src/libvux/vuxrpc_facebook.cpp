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

const char* const kGraph = "https://graph.facebook.com";
// Sign-in answers are small; a larger one is cut and then fails to parse.
const std::size_t kMaxAnswer = 1 << 20;

std::string Graph(HttpQuery::Implementation& impl) {
    return UseEndpoint(impl, "facebook_graph", kGraph).url;
}

}  // namespace

Facebook::Facebook(const std::string& code, const std::string& client_id, const std::string& client_secret,
                   const std::string& redirect_uri) {
    AcceptAnyResponse();
    SetMaxSize(kMaxAnswer);
    m_token = GetToken(code, client_id, client_secret, redirect_uri);
    if (m_token.empty()) throw vux_err::Error("socnetwork", "notoken");
}

std::string Facebook::GetToken(const std::string& code, const std::string& client_id, const std::string& client_secret,
                               const std::string& redirect_uri) {
    using str::url::Encode;
    const std::string form = "client_id=" + Encode(client_id) + "&client_secret=" + Encode(client_secret) +
                             "&code=" + Encode(code) + "&redirect_uri=" + Encode(redirect_uri);
    std::ostringstream answer;
    Post(Graph(*m_impl) + "/oauth/access_token", form, answer);
    const std::string token = oauth_answer::FacebookToken(Status(), answer.str());
    if (token.empty()) VUX_LOG(VuxLogModule(), 3, "Facebook token refused (%d): %s", Status(), answer.str().c_str());
    return token;
}

void Facebook::Info(StringMap& info) {
    std::ostringstream answer;
    Get(Graph(*m_impl) + "/me?access_token=" + str::url::Encode(m_token) + "&fields=id,email,name", answer);
    oauth_answer::Profile("facebook", Status(), answer.str(), info);
}

}  // namespace vux_rpc
