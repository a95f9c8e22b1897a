// Sign-in with Facebook, Google and VKontakte against a stand-in that answers as the networks
// document it (Python's urllib decodes the forms and queries the clients send).
#include <libvux/vuxrpc_oauth.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "peers/standin.h"
#include "test_util.h"

namespace {

using peers::StandIn;
using testutil::ErrorOf;

const char* const kRedirect = "https://panel.example/oauth?net=1";
const char* const kRedirectForm = "https%3A%2F%2Fpanel%2Eexample%2Foauth%3Fnet%3D1";

class OAuthTest : public ::testing::Test {
protected:
    OAuthTest() {
        ::mkdir((scratch / "etc").c_str(), 0755);
        std::string conf;
        for (const char* key : {"facebook_graph", "google_accounts", "google_api", "vkontakte_oauth", "vkontakte_api"})
            conf.append(key).append(" ").append(net.Url()).append("\n");
        testutil::WriteFile(scratch / "etc/endpoints.conf", conf);
    }

    // The one request recorded since the last look.
    StandIn::Request Sent() {
        const std::vector<StandIn::Request> r = net.Requests();
        net.ClearRequests();
        EXPECT_EQ(r.size(), 1u);
        return r.empty() ? StandIn::Request() : r.back();
    }

    // Every body, given as the answer to `method path`, makes `call` throw the error `want`.
    template <class F>
    void ExpectHostile(const std::string& method, const std::string& path, int status, F&& call, const std::string& want) {
        const std::vector<std::string> bodies = {
            "", "null", "[]", "\"text\"", "{", "{\"id\": {}}", "{\"id\": []}", "{\"response\": {}}",
            "{\"response\": [\"x\"]}", "{\"response\": []}", "{\"error\": \"x\", \"id\": \"1\"}",
            "{\"access_token\": [1]}", std::string(100000, '[') + std::string(100000, ']'), "\xff\xfe{}",
        };
        for (const std::string& body : bodies) {
            net.Script(method, path, status, body);
            EXPECT_EQ(ErrorOf(call), want) << body.substr(0, 40);
        }
        net.ClearRequests();
    }

    StandIn net{"oauth_standin.py"};
    testutil::TempDir scratch;
    testutil::ChDir cd{scratch.path()};
};

TEST_F(OAuthTest, FacebookTokenFromJsonOrFormAndTheProfile) {
    vux_rpc::Facebook fb("fb-code", "fb-id", "fb-secret", kRedirect);
    const StandIn::Request token = Sent();
    EXPECT_EQ(token.method + " " + token.path, "POST /oauth/access_token");
    EXPECT_EQ(token.body, std::string("client_id=fb%2Did&client_secret=fb%2Dsecret&code=fb%2Dcode&redirect_uri=") +
                              kRedirectForm);

    StringMap info = {{"keep", "me"}};
    fb.Info(info);
    const StandIn::Request me = Sent();
    EXPECT_EQ(me.method + " " + me.path + "?" + me.query, "GET /me?access_token=fb%2Dtoken&fields=id,email,name");
    EXPECT_EQ(info, (StringMap{{"id", "10150000000000001"}, {"email", "mark@example.com"}, {"name", "Mark Zuckerberg"},
                               {"keep", "me"}}));

    // Older Graph API versions answered form-encoded.
    vux_rpc::Facebook old("fb-code-form", "fb-id", "fb-secret", kRedirect);
    EXPECT_EQ(Sent().path, "/oauth/access_token");
    StringMap again;
    old.Info(again);
    EXPECT_EQ(Sent().query, "access_token=fb%2Dtoken&fields=id,email,name");
    EXPECT_EQ(again["id"], "10150000000000001");
    EXPECT_EQ(old.GetToken("fb-code-form", "fb-id", "fb-secret", kRedirect), "fb-token");
    net.Script("POST", "/oauth/access_token", 200, "expires=5183944&access_token=tok%2Ben");
    EXPECT_EQ(old.GetToken("x", "y", "z", kRedirect), "tok+en");
}

TEST_F(OAuthTest, FacebookRefusalsAndBrokenAnswers) {
    EXPECT_EQ(ErrorOf([] { vux_rpc::Facebook("wrong", "fb-id", "fb-secret", kRedirect); }), "socnetwork/notoken/");
    EXPECT_EQ(ErrorOf([] { vux_rpc::Facebook("fb-code", "fb-id", "fb-secret", "https://elsewhere/"); }),
              "socnetwork/notoken/");
    vux_rpc::Facebook fb("fb-code", "fb-id", "fb-secret", kRedirect);
    StringMap info;
    ExpectHostile("GET", "/me", 200, [&] { fb.Info(info); }, "socnetwork/noinfo/facebook");
    net.Script("GET", "/me", 400, "{\"error\": {\"message\": \"Invalid OAuth access token.\", \"code\": 190}}");
    EXPECT_EQ(ErrorOf([&] { fb.Info(info); }), "socnetwork/noinfo/facebook");
    EXPECT_TRUE(info.empty());
    for (const std::string body : {"", "{}", "{\"access_token\": \"\"}", "no equals sign", "{\"access_token\": null}"}) {
        net.Script("POST", "/oauth/access_token", 200, body);
        EXPECT_EQ(ErrorOf([] { vux_rpc::Facebook("fb-code", "fb-id", "fb-secret", kRedirect); }), "socnetwork/notoken/")
            << body;
    }
}

TEST_F(OAuthTest, GoogleTokenAndProfile) {
    vux_rpc::Google g("g-code", "g-id", "g-secret", kRedirect);
    const StandIn::Request token = Sent();
    EXPECT_EQ(token.method + " " + token.path, "POST /o/oauth2/token");
    EXPECT_EQ(token.Header("Content-type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(token.body, std::string("code=g%2Dcode&client_id=g%2Did&client_secret=g%2Dsecret&redirect_uri=") +
                              kRedirectForm + "&grant_type=authorization_code");
    StringMap info;
    g.Info(info);
    const StandIn::Request me = Sent();
    EXPECT_EQ(me.method + " " + me.path + "?" + me.query, "GET /oauth2/v1/userinfo?access_token=g%2Dtoken");
    EXPECT_FALSE(me.HasHeader("Content-type"));
    EXPECT_EQ(info, (StringMap{{"id", "108000000000000000001"}, {"email", "larry@example.com"}, {"name", "Larry Page"}}));

    EXPECT_EQ(ErrorOf([] { vux_rpc::Google("expired", "g-id", "g-secret", kRedirect); }), "socnetwork/notoken/");
    ExpectHostile("GET", "/oauth2/v1/userinfo", 200, [&] { g.Info(info); }, "socnetwork/noinfo/google");
    net.Script("GET", "/oauth2/v1/userinfo", 401, "{\"error\": {\"code\": 401}}");
    EXPECT_EQ(ErrorOf([&] { g.Info(info); }), "socnetwork/noinfo/google");
    ExpectHostile("POST", "/o/oauth2/token", 200, [] { vux_rpc::Google("g-code", "g-id", "g-secret", kRedirect); },
                  "socnetwork/notoken/");
}

TEST_F(OAuthTest, VkontakteTokenCarriesTheUserAndTheProfileNeedsIt) {
    vux_rpc::Vkontakte vk("vk-code", "vk-id", "vk-secret", kRedirect);
    const StandIn::Request token = Sent();
    EXPECT_EQ(token.method + " " + token.path, "POST /access_token");
    EXPECT_EQ(token.body, std::string("code=vk%2Dcode&client_id=vk%2Did&client_secret=vk%2Dsecret&redirect_uri=") +
                              kRedirectForm);
    StringMap info;
    vk.Info(info);
    const StandIn::Request users = Sent();
    EXPECT_EQ(users.method + " " + users.path + "?" + users.query,
              "GET /method/users.get?user_id=12345&access_token=vk%2Dtoken&v=5.131");
    EXPECT_EQ(info, (StringMap{{"id", "12345"}, {"email", "pavel@example.com"}, {"name", "Pavel Durov"}}));

    // The network refuses unknown codes with 401.
    EXPECT_EQ(testutil::ErrorKindOf([] { vux_rpc::Vkontakte("stale", "vk-id", "vk-secret", kRedirect); }),
              "socnetwork/notoken");
    // The API reports errors inside a 200 answer.
    net.Script("GET", "/method/users.get", 200, "{\"error\": {\"error_code\": 5, \"error_msg\": \"no access_token\"}}");
    EXPECT_EQ(ErrorOf([&] { vk.Info(info); }), "socnetwork/noinfo/vkontakte");
    ExpectHostile("GET", "/method/users.get", 200, [&] { vk.Info(info); }, "socnetwork/noinfo/vkontakte");
    ExpectHostile("POST", "/access_token", 200, [] { vux_rpc::Vkontakte("vk-code", "vk-id", "vk-secret", kRedirect); },
                  "socnetwork/notoken/");

    // No e-mail granted: the profile still reads, with an empty address.
    net.Script("POST", "/access_token", 200, "{\"access_token\": \"vk-token\", \"user_id\": 777}");
    vux_rpc::Vkontakte quiet("vk-code", "vk-id", "vk-secret", kRedirect);
    StringMap other;
    quiet.Info(other);
    EXPECT_EQ(other, (StringMap{{"id", "777"}, {"email", ""}, {"name", "Pavel Durov"}}));
}

}  // namespace
