// The HTTP client against nginx and the Python echo server on loopback: statuses, redirects, the
// size cut-off, headers and bodies as they arrive on the wire, parallel transfers, TLS.
#include <libvux/vuxrpc.h>

#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include <libvux/vuxstream.h>

#include "peers/nginx.h"
#include "test_util.h"

namespace {

using testutil::ErrorKindOf;

class Http : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!peers::Nginx::Missing().empty()) return;
        try {
            nginx_ = std::make_unique<peers::Nginx>();
        } catch (const std::exception& e) {
            failed_ = e.what();
        }
    }
    static void TearDownTestSuite() { nginx_.reset(); }
    void SetUp() override {
        ASSERT_EQ(failed_, "");
        if (!nginx_) GTEST_SKIP() << peers::Nginx::Missing();
    }
    static std::string Url(const std::string& path) { return nginx_->Url(path); }
    static std::string File(const std::string& name) { return testutil::ReadFile(nginx_->www() + "/files/" + name); }
    static std::size_t LogLines() {
        const std::string log = testutil::ReadFile(nginx_->log());
        return static_cast<std::size_t>(std::count(log.begin(), log.end(), '\n'));
    }

    static std::unique_ptr<peers::Nginx> nginx_;
    static std::string failed_;
};

std::unique_ptr<peers::Nginx> Http::nginx_;
std::string Http::failed_;

TEST_F(Http, StatusesAndRedirects) {
    struct Case {
        const char* path;
        bool accept_any;
        bool follow;
        std::string error;  // "" when the request succeeds
        int status;
        std::string body;   // "*" + text: the body contains text
    };
    const Case cases[] = {
        {"/files/1000.bin", false, true, "", 200, File("1000.bin")},
        {"/files/empty.bin", false, true, "", 200, ""},
        {"/redirect/1", false, true, "", 200, File("1000.bin")},
        {"/status/302", false, false, "", 302, "*302 Found"},
        {"/status/404", false, true, "rpc/query", 404, ""},
        {"/status/404", true, true, "", 404, "not here\n"},
        {"/status/500", false, true, "rpc/query", 500, ""},
        {"/redirect/loop", false, true, "rpc/query", 302, ""},
        {"/chunked/page.shtml", false, true, "", 200, "start middle end\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        vux_rpc::HttpQuery q;
        q.SetFollowRedirect(c.follow);
        if (c.accept_any) q.AcceptAnyResponse();
        std::ostringstream out;
        EXPECT_EQ(ErrorKindOf([&] { q.Get(Url(c.path), out); }), c.error.empty() ? "no error" : c.error);
        EXPECT_EQ(q.Status(), c.status);
        EXPECT_EQ(out.good(), c.error.empty());
        if (c.body.rfind("*", 0) == 0) {
            EXPECT_NE(out.str().find(c.body.substr(1)), std::string::npos) << out.str();
        } else if (c.error.empty()) {
            EXPECT_EQ(out.str(), c.body);
        }
    }
}

TEST_F(Http, FailureNamesTheUrl) {
    vux_rpc::HttpQuery q;
    std::ostringstream out;
    const vux_err::Error e = testutil::Catch<vux_err::Error>([&] { q.Get(Url("/status/404"), out); });
    EXPECT_EQ(e.type() + "/" + e.object(), "rpc/query");
    EXPECT_NE(e.xml().Str().find(Url("/status/404")), std::string::npos) << e.xml().Str();
    EXPECT_TRUE(out.bad());
    EXPECT_EQ(vux_rpc::HttpQuery().Status(), 0);
}

TEST_F(Http, MaxSizeCutsWithoutError) {
    struct Case {
        std::size_t max;
        const char* file;
        std::size_t kept;
        bool good;
    };
    const Case cases[] = {{10, "1000.bin", 10, false}, {1000, "1000.bin", 1000, true}, {1001, "1000.bin", 1000, true},
                          {0, "1m.bin", 1 << 20, true}, {65536, "1m.bin", 65536, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.max);
        std::ostringstream out;
        EXPECT_EQ(ErrorKindOf([&] { vux_rpc::HttpQuery().SetMaxSize(c.max).Get(Url("/files/") + c.file, out); }), "no error");
        EXPECT_EQ(out.str(), File(c.file).substr(0, c.kept));
        EXPECT_EQ(out.good(), c.good);
    }
}

TEST_F(Http, FailedStreamMakesNoRequest) {
    const std::size_t before = LogLines();
    std::ostringstream out;
    out.setstate(std::ios_base::failbit);
    vux_rpc::HttpQuery q;
    EXPECT_EQ(&q.Get(Url("/files/1000.bin"), out), &out);
    EXPECT_EQ(out.str(), "");
    std::ostringstream other;
    vux_rpc::HttpQuery().Get(Url("/files/empty.bin"), other);
    // nginx logs a request once it is done; the second one shows that the log is written.
    for (int i = 0; i < 50 && LogLines() == before; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(LogLines(), before + 1);
    EXPECT_EQ(q.Status(), 0);
}

TEST_F(Http, AcceptHeaderPutsHeadersFirst) {
    std::ostringstream out;
    vux_rpc::HttpQuery().AcceptHeader().Get(Url("/files/1000.bin"), out);
    const std::string text = out.str();
    const std::string::size_type end = text.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos);
    const std::string head = text.substr(0, end + 2);
    EXPECT_EQ(head.find("HTTP/"), std::string::npos) << head;
    EXPECT_NE(head.find("Content-Length: 1000\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Server: nginx"), std::string::npos) << head;
    EXPECT_EQ(text.substr(end + 4), File("1000.bin"));
    EXPECT_EQ(vux_rpc::FetchFileSize(Url("/files/1m.bin")), 1u << 20);
    EXPECT_EQ(vux_rpc::FetchFileSize(Url("/chunked/page.shtml")), 0u);
}

TEST_F(Http, StreamedPutArrivesWhole) {
    const std::string data = testutil::RandomBytes(50 << 20, 7);
    std::istringstream in(data);
    std::ostringstream out;
    vux_rpc::HttpQuery q;
    q.Put(Url("/dav/up/big.bin"), in, out);
    EXPECT_EQ(q.Status(), 201);
    EXPECT_TRUE(testutil::ReadFile(nginx_->www() + "/dav/up/big.bin") == data);
    // The stream belongs to that request only: the next PUT sends its own data.
    std::ostringstream again;
    q.Put(Url("/dav/up/small.bin"), "small", again);
    EXPECT_EQ(testutil::ReadFile(nginx_->www() + "/dav/up/small.bin"), "small");
    q.Delete(Url("/dav/up/small.bin"), again);
    EXPECT_EQ(q.Status(), 204);
    EXPECT_NE(::access((nginx_->www() + "/dav/up/small.bin").c_str(), F_OK), 0);
}

TEST_F(Http, FetchFileLeavesNoPartialFile) {
    testutil::TempDir tmp;
    struct Case {
        const char* path;
        std::size_t max;
        bool ok;
    };
    const Case cases[] = {{"/files/1000.bin", 0, true}, {"/files/1000.bin", 1000, true}, {"/files/1000.bin", 999, false},
                          {"/chunked/page.shtml", 5, false}, {"/status/404", 0, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.max));
        const std::string local = tmp / "got";
        EXPECT_EQ(vux_rpc::FetchFile(Url(c.path), local, c.max), c.ok);
        if (c.ok) {
            EXPECT_EQ(testutil::ReadFile(local), File("1000.bin"));
            ::unlink(local.c_str());
        } else {
            EXPECT_NE(::access(local.c_str(), F_OK), 0);
        }
    }
    EXPECT_FALSE(vux_rpc::FetchFile(Url("/files/1000.bin"), tmp / "no/such/dir/file"));
}

TEST_F(Http, FetchStringLogsFailure) {
    EXPECT_EQ(vux_rpc::FetchString(Url("/files/1000.bin")), File("1000.bin"));
    EXPECT_EQ(vux_rpc::FetchString(Url("/files/1000.bin"), 10), File("1000.bin").substr(0, 10));
    const int port = peers::FreePort("127.0.0.1");
    EXPECT_EQ(vux_rpc::FetchString("http://127.0.0.1:" + std::to_string(port) + "/"), "");
}

class Echo : public ::testing::Test {
protected:
    // The echoed request: its first line and header lines, and its body.
    static std::pair<std::string, std::string> Split(const std::string& echo) {
        const std::string::size_type end = echo.find("\n\n");
        if (end == std::string::npos) return {echo, ""};
        return {echo.substr(0, end + 1), echo.substr(end + 2)};
    }
    peers::HttpEcho echo_;
};

TEST_F(Echo, HeadersOnTheWireAsSet) {
    vux_rpc::HttpQuery q;
    q.AddHeader("X-Dup", "1").AddHeader("X-Dup", "2").SetHeader("X-Set", "a").SetHeader("X-Set", "b");
    q.AddHeader("X-Line: has: colon").SetHeader("x-set", "lower").AddHeader("X-Gone", "g").DropHeader("X-Gone");
    q.AddHeader("X-Last", "z").SetCookie("k=v");
    std::ostringstream out;
    q.Get(echo_.Url("/h"), out);
    const std::string head = Split(out.str()).first;
    const std::string::size_type first = head.find("X-Dup");
    ASSERT_NE(first, std::string::npos) << head;
    EXPECT_EQ(head.substr(first), "X-Dup: 1\nX-Dup: 2\nX-Set: b\nX-Line: has: colon\nx-set: lower\nX-Last: z\nCookie: k=v\n");
    EXPECT_EQ(head.rfind("GET /h\n", 0), 0u) << head;
    EXPECT_NE(head.find("User-Agent: curl/7.29.0\n"), std::string::npos) << head;
}

TEST_F(Echo, BodiesArriveByteExact) {
    const std::string data = testutil::RandomBytes(100000, 3) + std::string("\0tail", 5);
    using Call = std::ostream& (*)(vux_rpc::HttpQuery&, const std::string&, const std::string&, std::ostream&);
    struct Case {
        const char* method;
        Call call;
        bool sent;
    };
    const Case cases[] = {
        {"POST", [](vux_rpc::HttpQuery& q, const std::string& u, const std::string& d, std::ostream& o) -> std::ostream& { return q.Post(u, d, o); }, true},
        {"PUT", [](vux_rpc::HttpQuery& q, const std::string& u, const std::string& d, std::ostream& o) -> std::ostream& { return q.Put(u, d, o); }, true},
        {"PATCH", [](vux_rpc::HttpQuery& q, const std::string& u, const std::string& d, std::ostream& o) -> std::ostream& { return q.Patch(u, d, o); }, true},
        {"DELETE", [](vux_rpc::HttpQuery& q, const std::string& u, const std::string& d, std::ostream& o) -> std::ostream& { return q.Delete(u, d, o); }, true},
        {"PROPFIND", [](vux_rpc::HttpQuery& q, const std::string& u, const std::string& d, std::ostream& o) -> std::ostream& { return q.Propfind(u, d, o); }, false},
        {"MKCOL", [](vux_rpc::HttpQuery& q, const std::string& u, const std::string& d, std::ostream& o) -> std::ostream& { return q.Mkcol(u, d, o); }, false},
    };
    vux_rpc::HttpQuery q;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        std::ostringstream out;
        c.call(q, echo_.Url("/b"), data, out);
        const auto [head, body] = Split(out.str());
        EXPECT_EQ(head.substr(0, head.find('\n')), std::string(c.method) + " /b");
        EXPECT_TRUE(body == (c.sent ? data : "")) << c.method << " body of " << body.size() << " bytes";
    }
    for (const char* method : {"GET", "DELETE"}) {
        std::ostringstream out;
        if (method[0] == 'G') q.Get(echo_.Url("/n"), out); else q.Delete(echo_.Url("/n"), out);
        const auto [head, body] = Split(out.str());
        EXPECT_EQ(head.substr(0, head.find('\n')), std::string(method) + " /n");
        EXPECT_EQ(body, "");
        EXPECT_EQ(head.find("Content-Length"), std::string::npos) << head;
    }
    std::ostringstream empty_post;
    q.Post(echo_.Url("/e"), "", empty_post);
    EXPECT_NE(empty_post.str().find("Content-Length: 0\n"), std::string::npos) << empty_post.str();
    std::ostringstream head;
    q.Head(echo_.Url("/h"), head);
    EXPECT_EQ(head.str(), "");
    EXPECT_EQ(q.Status(), 200);
}

}  // namespace
