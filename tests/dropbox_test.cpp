// The Dropbox client against a stand-in that keeps the API's routes, arguments and error shapes:
// what goes on the wire for each call, upload sessions, round trips, the service's refusals, and
// the certificate check of the built-in address.
#include <libvux/vuxrpc_dropbox.h>

#include <json/json.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <streambuf>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <libvux/private/vuxrpc.h>
#include <libvux/vuxstr.h>

#include "peers/standin.h"
#include "test_util.h"

namespace {

using testutil::ErrorOf;

constexpr auto J = &peers::BodyJson;
using peers::FormOf;

// Reads the query's certificate-check setting, which the client sets per request.
struct Peek : vux_rpc::Dropbox {
    using Dropbox::Dropbox;
    bool verify() const { return m_impl->verify_public; }
    void force_verify() { m_impl->verify_public = true; }
};

class DropboxTest : public ::testing::Test {
protected:
    void SetUp() override {
        standin_ = std::make_unique<peers::StandIn>("dropbox_standin.py");
        Configure(standin_->Url());
    }
    void TearDown() override { cd_.reset(); }

    void Configure(const std::string& base) {
        cd_.reset();
        testutil::WriteFile(dir_ / "etc/endpoints.conf", "# the stand-in serves both endpoints\ndropbox_api " + base +
                                                             "\ndropbox_content " + base + "/\n" +
                                                             "oauth_relay https://relay.example/oauth/\n");
        cd_ = std::make_unique<testutil::ChDir>(dir_.path());
    }

    std::vector<peers::StandIn::Request> Requests() { return standin_->Requests(); }
    std::string Fetch(vux_rpc::Dropbox& d, const std::string& name) {
        std::ostringstream out;
        d.Get(name, out);
        return out.str();
    }

    testutil::TempDir dir_;
    std::unique_ptr<peers::StandIn> standin_;
    std::unique_ptr<testutil::ChDir> cd_;
};

TEST_F(DropboxTest, CallsAsTheApiDefinesThem) {
    vux_rpc::Dropbox d("dbx-token");
    EXPECT_EQ(d.token(), "dbx-token");
    const std::string name = "//папка/a b\"c.txt";
    EXPECT_EQ(d.Put(name, std::string("hello\0world", 11)), 200);
    EXPECT_EQ(Fetch(d, name), std::string("hello\0world", 11));
    d.Delete(name);
    d.MkPath("/anything");

    const auto r = Requests();
    ASSERT_EQ(r.size(), 3u);
    for (const auto& q : r) {
        EXPECT_EQ(q.method, "POST");
        EXPECT_EQ(q.Header("Authorization"), "Bearer dbx-token");
    }
    EXPECT_EQ(r[0].path, "/2/files/upload");
    EXPECT_EQ(r[0].Header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(J(r[0].Header("Dropbox-API-Arg")),
              J(R"({"path": "/папка/a b\"c.txt", "mode": "overwrite", "autorename": false, "mute": false})"));
    // A header carries ASCII only: the name travels as JSON escapes.
    for (const char c : r[0].Header("Dropbox-API-Arg")) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
    EXPECT_EQ(r[0].body, std::string("hello\0world", 11));

    EXPECT_EQ(r[1].path, "/2/files/download");
    EXPECT_EQ(J(r[1].Header("Dropbox-API-Arg")), J(R"({"path": "/папка/a b\"c.txt"})"));
    EXPECT_FALSE(r[1].HasHeader("Content-Type"));
    EXPECT_EQ(r[1].body, "");

    EXPECT_EQ(r[2].path, "/2/files/delete");
    EXPECT_EQ(r[2].Header("Content-Type"), "application/json");
    EXPECT_FALSE(r[2].HasHeader("Dropbox-API-Arg"));
    EXPECT_EQ(J(r[2].body), J(R"({"path": "/папка/a b\"c.txt"})"));

    // Gone: a missing file, and the caller's stream gets no error page.
    std::ostringstream out;
    EXPECT_EQ(ErrorOf([&] { d.Get(name, out); }), "dropbox_storage/query/Remote file not found");
    EXPECT_EQ(out.str(), "");
    // Deleting what is not there leaves the wanted state: no error.
    EXPECT_EQ(ErrorOf([&] { d.Delete("/none"); }), "no error");
    EXPECT_EQ(ErrorOf([&] { d.RmDir("/none"); }), "no error");
}

TEST_F(DropboxTest, NamesAndFolders) {
    EXPECT_EQ(vux_rpc::Dropbox::CheckName("///a/b"), "/a/b");
    EXPECT_EQ(vux_rpc::Dropbox::CheckName("a"), "/a");
    EXPECT_EQ(vux_rpc::Dropbox::CheckName("//", true), "/");
    EXPECT_EQ(ErrorOf([] { vux_rpc::Dropbox::CheckName("//"); }), "dropbox/name///");
    vux_rpc::Dropbox d("dbx-token");
    EXPECT_EQ(ErrorOf([&] { d.Put("/", "x"); }), "dropbox/name//");
    std::ostringstream out;
    EXPECT_EQ(ErrorOf([&] { d.Get("", out); }), "dropbox/name/");
    // Invalid UTF-8 cannot be written as a header's JSON.
    EXPECT_EQ(testutil::ErrorKindOf([&] { d.Put("/a\xff", "x"); }), "dropbox/name");

    d.Put("/dir/sub/one", "1");
    d.Put("/dir/two", "2");
    d.Put("/other", "3");
    d.RmDir("/dir");
    EXPECT_EQ(ErrorOf([&] { Fetch(d, "/dir/sub/one"); }), "dropbox_storage/query/Remote file not found");
    EXPECT_EQ(ErrorOf([&] { Fetch(d, "/dir/two"); }), "dropbox_storage/query/Remote file not found");
    EXPECT_EQ(Fetch(d, "/other"), "3");
}

TEST_F(DropboxTest, StreamsGoInFourMebibyteChunks) {
    const std::size_t mib = 1 << 20;
    vux_rpc::Dropbox d("dbx-token");
    struct Case {
        std::size_t size;
        std::vector<std::size_t> appends;  // offsets of the append_v2 calls
        std::size_t start, last;           // bytes with the start and with the finish
    };
    const Case cases[] = {
        {0, {}, 0, 0},
        {10, {}, 10, 0},
        {4 * mib, {}, 4 * mib, 0},
        {4 * mib + 1, {}, 4 * mib, 1},
        {9 * mib + 5, {4 * mib}, 4 * mib, mib + 5},
        {12 * mib, {4 * mib, 8 * mib}, 4 * mib, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        standin_->ClearRequests();
        const std::string data = testutil::RandomBytes(c.size, static_cast<unsigned>(c.size));
        std::istringstream in(data);
        EXPECT_EQ(d.Put("/big.bin", in), 200);

        const auto r = Requests();
        ASSERT_EQ(r.size(), c.appends.size() + 2);
        EXPECT_EQ(r[0].path, "/2/files/upload_session/start");
        EXPECT_EQ(J(r[0].Header("Dropbox-API-Arg")), J(R"({"close": false})"));
        EXPECT_EQ(r[0].body.size(), c.start);
        std::size_t offset = c.start;
        for (std::size_t i = 0; i < c.appends.size(); ++i) {
            const auto& a = r[1 + i];
            EXPECT_EQ(a.path, "/2/files/upload_session/append_v2");
            const Json::Value arg = J(a.Header("Dropbox-API-Arg"));
            EXPECT_EQ(arg["close"], Json::Value(false));
            EXPECT_EQ(arg["cursor"]["offset"].asUInt64(), c.appends[i]);
            EXPECT_EQ(arg["cursor"]["offset"].asUInt64(), offset);
            EXPECT_EQ(a.body, data.substr(offset, 4 * mib));
            offset += a.body.size();
        }
        const auto& f = r.back();
        EXPECT_EQ(f.path, "/2/files/upload_session/finish");
        const Json::Value arg = J(f.Header("Dropbox-API-Arg"));
        EXPECT_EQ(arg["cursor"]["offset"].asUInt64(), offset);
        const std::string session = arg["cursor"]["session_id"].asString();
        EXPECT_FALSE(session.empty());
        for (std::size_t i = 1; i + 1 < r.size(); ++i)
            EXPECT_EQ(J(r[i].Header("Dropbox-API-Arg"))["cursor"]["session_id"].asString(), session);
        EXPECT_EQ(arg["commit"], J(R"({"path": "/big.bin", "mode": "overwrite", "autorename": false, "mute": false})"));
        EXPECT_EQ(f.body.size(), c.last);
        for (const auto& q : r) EXPECT_EQ(q.Header("Content-Type"), "application/octet-stream");
        EXPECT_EQ(Fetch(d, "/big.bin"), data);
    }
}

// A source that fails after some bytes, as a disk read error would.
class FailingBuf : public std::streambuf {
public:
    explicit FailingBuf(std::size_t good) : left_(good) {}

protected:
    int_type underflow() override {
        if (left_ == 0) throw std::runtime_error("read error");
        const std::size_t n = std::min(left_, sizeof buf_);
        std::fill(buf_, buf_ + n, 'x');
        left_ -= n;
        setg(buf_, buf_, buf_ + n);
        return traits_type::to_int_type(buf_[0]);
    }

private:
    std::size_t left_;
    char buf_[1000];
};

TEST_F(DropboxTest, AStreamThatFailsCommitsNothing) {
    vux_rpc::Dropbox d("dbx-token");
    for (const std::size_t good : {std::size_t(0), std::size_t(5000), std::size_t(5 << 20)}) {
        SCOPED_TRACE(good);
        standin_->ClearRequests();
        FailingBuf buf(good);
        std::istream in(&buf);
        EXPECT_EQ(ErrorOf([&] { d.Put("/cut.bin", in); }), "dropbox/put/read");
        for (const auto& q : Requests()) EXPECT_NE(q.path, "/2/files/upload_session/finish");
        EXPECT_EQ(ErrorOf([&] { Fetch(d, "/cut.bin"); }), "dropbox_storage/query/Remote file not found");
    }
}

TEST_F(DropboxTest, AStringUploadStopsShortOf150Mebibytes) {
    vux_rpc::Dropbox d("dbx-token");
    std::string data(0x95fffff + 1, 'z');
    EXPECT_EQ(testutil::AssertText([&] { d.Put("/huge", data); }), "Too large data. Use Put with stream");
    EXPECT_TRUE(Requests().empty());
    data.pop_back();
    EXPECT_EQ(d.Put("/huge", data), 200);
    data = std::string();
    standin_->ClearRequests();
}

TEST_F(DropboxTest, RefusalsBecomeErrors) {
    vux_rpc::Dropbox bad("wrong");
    std::ostringstream out;
    EXPECT_EQ(ErrorOf([&] { bad.Put("/a", "x"); }), "dropbox/put/invalid_access_token/..");
    EXPECT_EQ(ErrorOf([&] { bad.Get("/a", out); }), "dropbox/get/invalid_access_token/..");
    std::istringstream in("data");
    EXPECT_EQ(ErrorOf([&] { bad.Put("/a", in); }), "dropbox/put/invalid_access_token/..");
    EXPECT_EQ(out.str(), "");

    vux_rpc::Dropbox d("dbx-token");
    struct Case {
        const char* path;
        int status;
        std::string body;
        std::string error;
    };
    const Case cases[] = {
        {"/2/files/upload", 200, "not json", "dropbox/put/bad_answer"},
        {"/2/files/upload", 200, R"({"size": "eleven"})", "dropbox/put/bad_answer"},
        {"/2/files/upload", 200, R"({"size": 4})", "dropbox/put/size"},
        {"/2/files/upload", 429, R"({"error_summary": "too_many_requests/..", "error": {"reason": {".tag": "too_many_requests"}}})",
         "dropbox/put/too_many_requests/.."},
        {"/2/files/upload", 503, "<html>busy</html>", "dropbox/put/503"},
        {"/2/files/upload", 409, "[1, 2", "dropbox/put/409"},
        {"/2/files/download", 500, "<html>oops</html>", "dropbox/get/500"},
        {"/2/files/download", 409, R"({"error_summary": "path/restricted_content/.."})", "dropbox/get/path/restricted_content/.."},
        {"/2/files/delete", 409, R"(["error_summary"])", "dropbox/delete/409"},
        {"/2/files/upload_session/start", 200, "{}", "dropbox/put/bad_answer"},
        {"/2/files/upload_session/start", 200, R"({"session_id": 7})", "dropbox/put/bad_answer"},
        {"/2/files/upload_session/finish", 200, "null", "dropbox/put/bad_answer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + std::string(" ") + c.body);
        standin_->Script("POST", c.path, c.status, c.body);
        std::ostringstream got;
        std::istringstream stream("abc");
        const std::string path = c.path;
        EXPECT_EQ(ErrorOf([&] {
                      if (path == "/2/files/upload") d.Put("/a", std::string("abc"));
                      else if (path == "/2/files/download") d.Get("/a", got);
                      else if (path == "/2/files/delete") d.Delete("/a");
                      else d.Put("/a", stream);
                  }),
                  c.error);
        EXPECT_EQ(got.str(), "");
    }
    // An offset the service did not expect is its route error, not a stored file.
    const std::string session = d.StartUpload("abc");
    EXPECT_EQ(ErrorOf([&] { d.AppendData(session, "def", 2); }), "dropbox/put/lookup_failed/incorrect_offset/..");
    EXPECT_EQ(d.FinishUpload(session, "def", "/joined", 3), 6u);
    EXPECT_EQ(Fetch(d, "/joined"), "abcdef");
}

TEST_F(DropboxTest, SignInAndRevoke) {
    const std::string token = vux_rpc::Dropbox::GetToken("good-code", "id&1", "se+cr=et");
    EXPECT_EQ(token.rfind("dbx-issued-", 0), 0u);
    auto r = Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].method, "POST");
    EXPECT_EQ(r[0].path, "/oauth2/token");
    EXPECT_FALSE(r[0].HasHeader("Authorization"));
    const auto form = FormOf(r[0].body);
    EXPECT_EQ(form, (std::map<std::string, std::string>{{"grant_type", "authorization_code"},
                                                         {"code", "good-code"},
                                                         {"redirect_uri", "https://relay.example/oauth/dropbox"},
                                                         {"client_id", "id&1"},
                                                         {"client_secret", "se+cr=et"}}));
    EXPECT_EQ(r[0].body.rfind("grant_type=authorization_code&code=good-code&redirect_uri=https://relay.example/oauth/dropbox&client_id=", 0), 0u);
    EXPECT_EQ(ErrorOf([] { vux_rpc::Dropbox::GetToken("stale", "id", "secret"); }), "dropbox/token/invalid_grant");
    EXPECT_EQ(ErrorOf([] { vux_rpc::Dropbox::GetToken("good-code", "id", "bad-secret"); }), "dropbox/token/invalid_grant");

    vux_rpc::Dropbox d(token);
    d.Put("/mine", "x");
    standin_->ClearRequests();
    d.DropToken();
    r = Requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].path, "/2/auth/token/revoke");
    EXPECT_EQ(r[0].Header("Authorization"), "Bearer " + token);
    EXPECT_EQ(ErrorOf([&] { d.Put("/mine", "y"); }), "dropbox/put/invalid_access_token/..");
    EXPECT_EQ(ErrorOf([&] { d.DropToken(); }), "dropbox/drop_token/invalid_access_token/..");
}

TEST(DropboxTls, PublicAddressesAreVerifiedConfiguredOnesNot) {
    testutil::TempDir dir;
    // A self-signed certificate, made by openssl itself.
    int code = 0;
    const std::string made = testutil::ShellOutput(
        "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " + (dir / "key.pem") +
            " -out " + (dir / "cert.pem") + " 2>&1",
        &code);
    ASSERT_EQ(code, 0) << made;
    setenv("VUX_STANDIN_CERT", (dir / "cert.pem").c_str(), 1);
    setenv("VUX_STANDIN_KEY", (dir / "key.pem").c_str(), 1);
    peers::StandIn tls("dropbox_standin.py");
    unsetenv("VUX_STANDIN_CERT");
    unsetenv("VUX_STANDIN_KEY");
    const std::string base = "https://127.0.0.1:" + std::to_string(tls.port());
    testutil::WriteFile(dir / "etc/endpoints.conf", "dropbox_api " + base + "\ndropbox_content " + base + "\n");
    testutil::ChDir cd(dir.path());

    // Configured (self-hosted) address: the query's own setting, which takes self-signed peers.
    Peek d("dbx-token");
    EXPECT_EQ(d.Put("/t", "tls"), 200);
    EXPECT_FALSE(d.verify());
    std::ostringstream out;
    d.Get("/t", out);
    EXPECT_EQ(out.str(), "tls");
    // The same peer under the system's CA store is refused.
    d.force_verify();
    Peek strict("dbx-token");
    strict.SetHeader("Dropbox-API-Arg", R"({"path": "/t"})");
    strict.force_verify();
    std::ostringstream sink;
    EXPECT_EQ(testutil::ErrorKindOf([&] { strict.HttpQuery::Post(base + "/2/files/download", "", sink); }),
              "rpc/query");

    // Built-in address: the check is on for the request (which cannot reach the service here).
    testutil::WriteFile(dir / "etc/endpoints.conf", "dropbox_api " + base + "\n");
    Peek builtin("dbx-token");
    builtin.SetTimeout(3);
    std::ostringstream none;
    try {
        builtin.Get("/t", none);
    } catch (const vux_err::Error&) {
    }
    EXPECT_TRUE(builtin.verify());
    // And off again for a configured one.
    builtin.Delete("/t");
    EXPECT_FALSE(builtin.verify());
}

}  // namespace
