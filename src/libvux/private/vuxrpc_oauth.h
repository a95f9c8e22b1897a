// How the sign-in clients read the networks' answers; inline so that the fuzz targets reach
// them without a network. Not installed.
#ifndef LIBVUX_PRIVATE_VUXRPC_OAUTH_H
#define LIBVUX_PRIVATE_VUXRPC_OAUTH_H

#include <libvux/vuxapi.h>

#include <string>

#include <libvux/vuxerr.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxtypes.h>

#include "vuxrpc_json.h"

namespace vux_rpc::oauth_answer {

// A failed profile read, naming the network.
VUX_INTERNAL inline vux_err::Error NoInfo(const std::string& network, int status) {
    vux_err::Error e("socnetwork", "noinfo", network);
    e.add_param("status", status);
    return e;
}

// Facebook's token answer: JSON today, form-encoded in older API versions; "" when refused.
VUX_INTERNAL inline std::string FacebookToken(int status, const std::string& body) {
    if (status != 200) return "";
    Json::Value v;
    if (ParseJsonObject(body, v)) return JsonText(v, "access_token");
    std::string::size_type begin = 0;
    while (begin <= body.size()) {
        std::string::size_type end = body.find('&', begin);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(begin, end - begin);
        if (pair.compare(0, 13, "access_token=") == 0) return str::url::Decode(pair.substr(13));
        begin = end + 1;
    }
    // No named token: the first value, as the oldest answers put it first.
    const std::string::size_type eq = body.find('=');
    if (eq == std::string::npos) return "";
    const std::string::size_type amp = body.find('&', eq + 1);
    return str::url::Decode(body.substr(eq + 1, amp == std::string::npos ? std::string::npos : amp - eq - 1));
}

// Google's token answer; "" when refused.
VUX_INTERNAL inline std::string GoogleToken(int status, const std::string& body) {
    Json::Value v;
    if (status != 200 || !ParseJsonObject(body, v)) return "";
    return JsonText(v, "access_token");
}

struct VkontakteGrant {
    std::string token;
    std::string user_id;
    std::string email;
};

// VKontakte's token answer; a refusal (any status but 200) throws "socnetwork"/"notoken".
VUX_INTERNAL inline VkontakteGrant VkontakteToken(int status, const std::string& body) {
    Json::Value v;
    if (status != 200 || !ParseJsonObject(body, v)) {
        vux_err::Error e("socnetwork", "notoken");
        e.add_param("status", status);
        throw e;
    }
    return {JsonText(v, "access_token"), JsonText(v, "user_id"), JsonText(v, "email")};
}

// A profile with "id", "email" and "name" (Facebook, Google) into `info`; else NoInfo.
VUX_INTERNAL inline void Profile(const std::string& network, int status, const std::string& body, StringMap& info) {
    Json::Value v;
    if (status != 200 || !ParseJsonObject(body, v) || v.isMember("error") || JsonText(v, "id").empty())
        throw NoInfo(network, status);
    info["id"] = JsonText(v, "id");
    info["email"] = JsonText(v, "email");
    info["name"] = JsonText(v, "name");
}

// VKontakte's users.get answer; an error comes with status 200 and an "error" member.
VUX_INTERNAL inline void VkontakteProfile(int status, const std::string& body, const std::string& email,
                                          StringMap& info) {
    Json::Value v;
    if (status != 200 || !ParseJsonObject(body, v) || v.isMember("error")) throw NoInfo("vkontakte", status);
    const Json::Value& response = static_cast<const Json::Value&>(v)["response"];
    if (!response.isArray() || response.empty()) throw NoInfo("vkontakte", status);
    const Json::Value& user = response[0u];
    if (JsonText(user, "id").empty()) throw NoInfo("vkontakte", status);
    info["id"] = JsonText(user, "id");
    info["name"] = JsonText(user, "first_name") + " " + JsonText(user, "last_name");
    info["email"] = email;
}

}  // namespace vux_rpc::oauth_answer

#endif
