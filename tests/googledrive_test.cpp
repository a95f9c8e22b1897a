// The Google Drive client against a stand-in that keeps the API's routes, queries, resumable
// uploads and error shapes: the wire of each call, 16 MiB chunks, round trips, the retry schedule,
// the service's refusals, and the token cache under var/tokens.
#include <libvux/vuxrpc_googledrive.h>

#include <json/json.h>

#include <sys/stat.h>

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <libvux/private/vuxrpc.h>
#include <libvux/private/vuxrpc_drive.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxstr.h>

#include "peers/standin.h"
#include "test_util.h"

namespace {

using testutil::ErrorOf;

const char* const kRoot = "0AStandInRoot";
const char* const kFolder = "application/vnd.google-apps.folder";

constexpr auto J = &peers::BodyJson;
using peers::FormOf;

std::vector<std::pair<std::string, int>> g_waits;
void RecordWait(const std::string& reason, int ms) {
    g_waits.emplace_back(reason, ms);
}

class GoogleDriveTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin_ = std::make_unique<peers::StandIn>("googledrive_standin.py");
        const std::string base = standin_->Url();
        testutil::WriteFile(dir_ / "etc/endpoints.conf", "googledrive_api " + base + "\ngoogledrive_upload " + base +
                                                             "\ngoogle_oauth_token " + base + "/\n" +
                                                             "oauth_relay https://relay.example\n");
        cd_ = std::make_unique<testutil::ChDir>(dir_.path());
        g_waits.clear();
        vux_rpc::SetGDWaitHook(&RecordWait);
    }
    void TearDown() override {
        vux_rpc::SetGDWaitHook(nullptr);
        cd_.reset();
    }

    std::vector<peers::StandIn::Request> Requests() { return standin_->Requests(); }
    std::vector<peers::StandIn::Request> Requests(const std::string& method) {
        std::vector<peers::StandIn::Request> some;
        for (auto& r : standin_->Requests())
            if (r.method == method) some.push_back(std::move(r));
        return some;
    }
    static std::string Fetch(vux_rpc::GoogleDrive& gd, const std::string& path) {
        std::ostringstream out;
        gd.Get(path, out);
        return out.str();
    }
    static std::string Q(const peers::StandIn::Request& r) {
        return FormOf(r.query)["q"];
    }

    testutil::TempDir dir_;
    std::unique_ptr<peers::StandIn> standin_;
    std::unique_ptr<testutil::ChDir> cd_;
};

TEST_F(GoogleDriveTest, FoldersAreFoundAndMadeOneStepAtATime) {
    vux_rpc::GoogleDrive gd("gd-token");
    EXPECT_EQ(gd.token(), "gd-token");
    gd.MkPath("/backups//it's\\daily/");
    auto r = Requests();
    ASSERT_EQ(r.size(), 5u);
    for (const auto& q : r) EXPECT_EQ(q.Header("Authorization"), "Bearer gd-token");
    EXPECT_EQ(r[0].method + " " + r[0].path, "GET /drive/v3/files/root");
    EXPECT_EQ(r[1].method + " " + r[1].path, "GET /drive/v3/files");
    const auto list = FormOf(r[1].query);
    EXPECT_EQ(list, (std::map<std::string, std::string>{{"corpora", "user"},
                                                         {"q", std::string("name = 'backups' and parents in '") + kRoot + "'"},
                                                         {"fields", "files(id,name,parents,mimeType)"}}));
    EXPECT_EQ(r[2].method + " " + r[2].path, "POST /drive/v3/files");
    EXPECT_EQ(r[2].Header("Content-Type"), "application/json; charset=UTF-8");
    Json::Value folder = J(R"({"name": "backups", "mimeType": "application/vnd.google-apps.folder"})");
    folder["parents"].append(kRoot);
    EXPECT_EQ(J(r[2].body), folder);
    const std::string backups = gd.GetID("/backups");
    ASSERT_FALSE(backups.empty());
    // Quotes and backslashes in names are escaped in the query.
    EXPECT_EQ(Q(r[3]), "name = 'it\\'s\\\\daily' and parents in '" + backups + "'");
    folder["name"] = "it's\\daily";
    folder["parents"][0] = backups;
    EXPECT_EQ(J(r[4].body), folder);

    // All there: only look-ups now.
    standin_->ClearRequests();
    gd.MkPath("backups/it's\\daily");
    EXPECT_TRUE(Requests("POST").empty());
    EXPECT_FALSE(gd.IsFile("/backups/it's\\daily"));
    EXPECT_EQ(gd.GetID("/backups/none"), "");
    EXPECT_EQ(gd.GetName(backups, "none"), "");
    EXPECT_EQ(gd.GetID("/"), kRoot);
    EXPECT_EQ(ErrorOf([&] { gd.IsFile("/none"); }), "googledrive_storage/query/Remote file not found");
}

TEST_F(GoogleDriveTest, UploadsGoIn16MebibyteChunksAndComeBackWhole) {
    vux_rpc::GoogleDrive gd("gd-token");
    const std::size_t mib = 1 << 20;
    const std::string data = testutil::RandomBytes(40 * mib + 3, 7);
    std::istringstream in(data);
    EXPECT_EQ(gd.Put("/dir/sub/file.bin", in), 200);
    const std::string sub = gd.GetID("/dir/sub");

    const auto posts = Requests("POST");
    ASSERT_EQ(posts.size(), 3u);  // two folders, then the upload session
    const auto& start = posts[2];
    EXPECT_EQ(start.path, "/upload/drive/v3/files");
    EXPECT_EQ(start.query, "uploadType=resumable");
    EXPECT_EQ(start.Header("Content-Type"), "application/json; charset=UTF-8");
    EXPECT_EQ(start.Header("X-Upload-Content-Length"), std::to_string(data.size()));
    Json::Value meta(Json::objectValue);
    meta["name"] = "file.bin";
    meta["parents"].append(sub);
    EXPECT_EQ(J(start.body), meta);

    const auto puts = Requests("PUT");
    ASSERT_EQ(puts.size(), 3u);
    const std::string total = "/" + std::to_string(data.size());
    const char* const ranges[] = {"bytes 0-16777215", "bytes 16777216-33554431", "bytes 33554432-41943042"};
    std::string sent;
    for (std::size_t i = 0; i < puts.size(); ++i) {
        EXPECT_EQ(puts[i].path, "/upload/drive/v3/files");
        EXPECT_EQ(puts[i].query, "uploadType=resumable&upload_id=upload" + std::to_string(3));
        EXPECT_EQ(puts[i].Header("Content-Range"), ranges[i] + total);
        EXPECT_EQ(puts[i].Header("Content-Length"), std::to_string(puts[i].body.size()));
        sent += puts[i].body;
    }
    EXPECT_EQ(sent, data);
    EXPECT_EQ(Fetch(gd, "dir/sub/file.bin"), data);
    EXPECT_TRUE(gd.IsFile("/dir/sub/file.bin"));

    // The download's request, and nothing but the bytes in the stream.
    const auto gets = Requests("GET");
    EXPECT_EQ(gets.back().path, "/drive/v3/files/" + gd.GetID("/dir/sub/file.bin"));
    standin_->ClearRequests();
    Fetch(gd, "/dir/sub/file.bin");
    EXPECT_EQ(Requests().back().query, "alt=media");

    // The temporary copy of the stream is gone.
    EXPECT_TRUE(vux_file::Dir(dir_ / "tmp", 2).Read() == false);
}

TEST_F(GoogleDriveTest, PutReplacesDeleteRemoves) {
    vux_rpc::GoogleDrive gd("gd-token");
    EXPECT_EQ(gd.Put("/a/one", std::string("first")), 200);
    const std::string first = gd.GetID("/a/one");
    EXPECT_EQ(gd.Put("/a/one", std::string("second\0", 7)), 200);
    EXPECT_EQ(Fetch(gd, "/a/one"), std::string("second\0", 7));
    EXPECT_NE(gd.GetID("/a/one"), first);
    // The former file went, so the name means one file.
    const auto deletes = Requests("DELETE");
    ASSERT_EQ(deletes.size(), 1u);
    EXPECT_EQ(deletes[0].path, "/drive/v3/files/" + first);
    EXPECT_EQ(deletes[0].Header("Content-Type"), "application/json");

    // An empty file has no byte range.
    standin_->ClearRequests();
    gd.Put("/a/empty", std::string());
    const auto puts = Requests("PUT");
    ASSERT_EQ(puts.size(), 1u);
    EXPECT_EQ(puts[0].Header("Content-Range"), "bytes */0");
    EXPECT_EQ(Fetch(gd, "/a/empty"), "");

    gd.Delete("/a/one");
    std::ostringstream out;
    EXPECT_EQ(ErrorOf([&] { gd.Get("/a/one", out); }), "googledrive_storage/query/Remote file not found");
    EXPECT_EQ(ErrorOf([&] { gd.Delete("/a/one"); }), "no error");
    gd.Put("/a/b/c", std::string("c"));
    gd.RmDir("/a");
    EXPECT_EQ(gd.GetID("/a"), "");
    EXPECT_EQ(ErrorOf([&] { gd.Get("/a/b/c", out); }), "googledrive_storage/query/Remote file not found");
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(ErrorOf([&] { gd.RmDir("/"); }), "googledrive_storage/name//");
    EXPECT_EQ(ErrorOf([&] { gd.Put("", std::string("x")); }), "googledrive_storage/name/");
    EXPECT_EQ(gd.GetID("/"), kRoot);
}

TEST_F(GoogleDriveTest, ServerErrorsAreRetriedWithGrowingWaits) {
    struct Case {
        int status;
        std::string value;
    };
    for (const Case& c : {Case{503, "unknown_error"}, Case{500, "backend_error"}}) {
        SCOPED_TRACE(c.status);
        vux_rpc::GoogleDrive gd("gd-token");
        standin_->ClearRequests();
        g_waits.clear();
        standin_->Script("GET", "/drive/v3/files/root", c.status, "<html>unavailable</html>", {}, 7);
        EXPECT_EQ(ErrorOf([&] { gd.GetID("/x"); }), "googledrive_storage/query/" + c.value);
        EXPECT_EQ(Requests().size(), 7u);
        ASSERT_EQ(g_waits.size(), 6u);
        for (int n = 1; n <= 6; ++n) {
            EXPECT_EQ(g_waits[n - 1].first, "Server error");
            EXPECT_GE(g_waits[n - 1].second, (1 << n) * 1000);
            EXPECT_LT(g_waits[n - 1].second, (1 << n) * 1000 + 1000);
        }
    }
    // A service that recovers is used as if nothing happened.
    vux_rpc::GoogleDrive gd("gd-token");
    gd.Put("/f", std::string("payload"));
    g_waits.clear();
    standin_->Script("GET", "/drive/v3/files/" + gd.GetID("/f"), 502, "bad gateway", {}, 2);
    EXPECT_EQ(Fetch(gd, "/f"), "payload");
    EXPECT_EQ(g_waits.size(), 2u);
    EXPECT_FALSE(vux_rpc::GDAnswerRetries(503, "", 7));
    EXPECT_TRUE(vux_rpc::GDAnswerRetries(503, "", 6));
}

TEST_F(GoogleDriveTest, RefusalsBecomeTheirErrors) {
    const std::string limit =
        R"({"error": {"errors": [{"domain": "usageLimits", "reason": "userRateLimitExceeded", "message": "User Rate Limit Exceeded"}], "code": 403}})";
    vux_rpc::GoogleDrive gd("gd-token");
    standin_->Script("GET", "/drive/v3/files/root", 403, limit, {}, 2);
    EXPECT_EQ(gd.GetID("/"), kRoot);
    ASSERT_EQ(g_waits.size(), 2u);
    EXPECT_EQ(g_waits[0].first, "Limit exceeded");

    struct Case {
        int status;
        std::string body;
        std::string error;
    };
    const Case cases[] = {
        {403, R"({"error": {"errors": [{"reason": "insufficientPermissions", "message": "no"}]}})",
         "googledrive_storage/query/forbidden"},
        {404, R"({"error": {"errors": [{"reason": "notFound", "message": "File not found: root."}]}})",
         "googledrive_storage/query/not_found"},
        {429, "", "googledrive_storage/query/too_many_request"},
        {400, "{\"error\": ", "googledrive_storage/query/unknown_error"},
        {200, "garbage", "googledrive_storage/query/unknown_error"},
        {200, R"({"id": 5})", "googledrive_storage/query/unknown_error"},
        {200, R"(["id"])", "googledrive_storage/query/unknown_error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        g_waits.clear();
        vux_rpc::GoogleDrive fresh("gd-token");
        standin_->Script("GET", "/drive/v3/files/root", c.status, c.body);
        EXPECT_EQ(ErrorOf([&] { fresh.GetID("/x"); }), c.error);
        EXPECT_TRUE(g_waits.empty());
    }

    // A bad token: the service's message travels with the error.
    vux_rpc::GoogleDrive bad("expired");
    try {
        bad.MkPath("/x");
        ADD_FAILURE() << "no error";
    } catch (const vux_err::Error& e) {
        EXPECT_EQ(testutil::DescribeError(e, true), "googledrive_storage/query/authorization");
        EXPECT_NE(e.xml().Str().find("Invalid Credentials"), std::string::npos) << e.xml().Str();
    }
    // A list answer without files, and an upload session without its id.
    standin_->Script("GET", "/drive/v3/files", 200, R"({"kind": "drive#fileList"})");
    EXPECT_EQ(ErrorOf([&] { gd.GetID("/x"); }), "googledrive_storage/query/unknown_error");
    standin_->Script("POST", "/upload/drive/v3/files", 200, "");
    EXPECT_EQ(ErrorOf([&] { gd.Put("/nosession", std::string("x")); }), "googledrive_storage/put/upload_id");
    // A download's error page never reaches the caller's stream.
    gd.Put("/f", std::string("bytes"));
    standin_->Script("GET", "/drive/v3/files/" + gd.GetID("/f"), 401, R"({"error": {"errors": [{"message": "Login Required"}]}})");
    std::ostringstream out;
    EXPECT_EQ(ErrorOf([&] { gd.Get("/f", out); }), "googledrive_storage/query/authorization");
    EXPECT_EQ(out.str(), "");
    // A folder has no bytes to give.
    EXPECT_EQ(ErrorOf([&] { gd.Get("/", out); }), "googledrive_storage/query/Remote file not found");
}

TEST_F(GoogleDriveTest, TokensAreCachedRefreshedAndDropped) {
    const std::string token = vux_rpc::GoogleDrive::GetToken("good-code", "cid-1", "sec/ret+1");
    EXPECT_EQ(token.rfind("ya29.standin", 0), 0u);
    auto r = Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method + " " + r[0].path, "POST /oauth2/v4/token");
    EXPECT_EQ(r[0].Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_FALSE(r[0].HasHeader("Authorization"));
    EXPECT_EQ(FormOf(r[0].body), (std::map<std::string, std::string>{{"code", "good-code"},
                                                                       {"redirect_uri", "https://relay.example/googledrive"},
                                                                       {"client_id", "cid-1"},
                                                                       {"client_secret", "sec/ret+1"},
                                                                       {"grant_type", "authorization_code"}}));
    EXPECT_EQ(r[0].body.rfind("code=good-code&redirect_uri=https://relay.example/googledrive&client_id=cid-1&", 0), 0u);

    const std::string file = dir_ / ("var/tokens/googledrive." + token);
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Json::Value cache = J(testutil::ReadFile(file));
    EXPECT_EQ(cache["access_token"].asString(), token);
    EXPECT_FALSE(cache["refresh_token"].asString().empty());
    EXPECT_GT(cache["expiry"].asInt64(), time(nullptr) + 3000);

    // Still valid: no request.
    standin_->ClearRequests();
    EXPECT_EQ(vux_rpc::GoogleDrive::RefreshToken(token), token);
    EXPECT_TRUE(Requests().empty());

    // Expired: refreshed at the token endpoint, kept under the same name.
    cache["expiry"] = static_cast<Json::Int64>(time(nullptr) - 10);
    testutil::WriteFile(file, Json::writeString(Json::StreamWriterBuilder(), cache));
    const std::string fresh = vux_rpc::GoogleDrive::RefreshToken(token);
    EXPECT_NE(fresh, token);
    r = Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(FormOf(r[0].body), (std::map<std::string, std::string>{{"client_id", "cid-1"},
                                                                       {"client_secret", "sec/ret+1"},
                                                                       {"refresh_token", cache["refresh_token"].asString()},
                                                                       {"grant_type", "refresh_token"}}));
    EXPECT_EQ(J(testutil::ReadFile(file))["access_token"].asString(), fresh);
    EXPECT_EQ(vux_rpc::GoogleDrive::RefreshToken(token), fresh);
    vux_rpc::GoogleDrive gd(fresh);
    gd.MkPath("/works");

    // The refreshed token's client drops the cache it came from.
    gd.DropToken();
    EXPECT_FALSE(vux_file::Exists(file));
    EXPECT_EQ(vux_rpc::GoogleDrive::RefreshToken(token), token);

    EXPECT_EQ(ErrorOf([] { vux_rpc::GoogleDrive::GetToken("stale", "cid", "sec"); }), "googledrive_storage/token/invalid_grant");
    // A refresh the service refuses.
    const std::string other = vux_rpc::GoogleDrive::GetToken("good-code", "cid-2", "sec-2");
    const std::string other_file = dir_ / ("var/tokens/googledrive." + other);
    cache = J(testutil::ReadFile(other_file));
    cache["expiry"] = 0;
    cache["refresh_token"] = "revoked";
    testutil::WriteFile(other_file, Json::writeString(Json::StreamWriterBuilder(), cache));
    EXPECT_EQ(ErrorOf([&] { vux_rpc::GoogleDrive::RefreshToken(other); }), "googledrive_storage/token/invalid_grant");

    // Tokens that cannot name a file in var/tokens are never looked up or written elsewhere.
    testutil::WriteFile(dir_ / "var/outside", "{\"access_token\": \"x\", \"expiry\": 0, \"refresh_token\": \"r\"}");
    EXPECT_EQ(vux_rpc::GoogleDrive::RefreshToken("../outside"), "../outside");
    EXPECT_EQ(vux_rpc::GoogleDrive::RefreshToken("unknown"), "unknown");
    vux_rpc::GoogleDrive("../outside").DropToken();
    EXPECT_TRUE(vux_file::Exists(dir_ / "var/outside"));
}

// Reads the query's certificate-check setting, which the client sets per request.
struct Peek : vux_rpc::GoogleDrive {
    using GoogleDrive::GoogleDrive;
    bool verify() const { return m_impl->verify_public; }
};

TEST_F(GoogleDriveTest, OnlyBuiltInAddressesAreVerified) {
    Peek configured("gd-token");
    EXPECT_EQ(configured.GetID("/"), kRoot);
    EXPECT_FALSE(configured.verify());
    // The public service cannot be reached from here; the check is on for the attempt.
    testutil::WriteFile(dir_ / "etc/endpoints.conf", "google_oauth_token " + standin_->Url() + "\n");
    Peek builtin("gd-token");
    builtin.SetTimeout(3);
    EXPECT_EQ(testutil::ErrorKindOf([&] { builtin.GetID("/"); }), "rpc/query");
    EXPECT_TRUE(builtin.verify());
}

}  // namespace
