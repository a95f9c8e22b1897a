// The HTTP client against nginx and the Python echo server on loopback: statuses, redirects, the
// size cut-off, headers and bodies as they arrive on the wire, parallel transfers, TLS.
#include <libvux/vuxrpc.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include <libvux/vuxlog.h>
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
    // nginx writes a request's log line after the response has gone, so a client may be
    // quicker than the line: wait for the one looked for.
    static std::string LogWith(const std::string& needle) {
        std::string log;
        for (int i = 0; i < 100 && (log = testutil::ReadFile(nginx_->log())).find(needle) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return log;
    }
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
    testutil::TempDir dir;
    testutil::ChDir cd(dir.path());
    testutil::WriteFile(dir / "etc/debug.conf", "rpc 9\n");
    ::setenv("VUX_LOGFILE", (dir / "rpc.log").c_str(), 1);
    vux_log::Init("rpc_test", 9);
    EXPECT_EQ(vux_rpc::FetchString(Url("/files/1000.bin")), File("1000.bin"));
    EXPECT_EQ(vux_rpc::FetchString(Url("/files/1000.bin"), 10), File("1000.bin").substr(0, 10));
    const std::string dead = "http://127.0.0.1:" + std::to_string(peers::FreePort("127.0.0.1")) + "/";
    EXPECT_EQ(vux_rpc::FetchString(dead), "");
    vux_rpc::Multi multi;
    std::ostringstream out;
    vux_rpc::HttpQuery().SetMulti(&multi).Get(Url("/files/1k.bin"), out);
    multi.Wait();
    vux_log::Close();
    ::unsetenv("VUX_LOGFILE");
    const std::string log = testutil::ReadFile(dir / "rpc.log");
    for (const std::string& line : {"FetchString('" + dead + "')", std::string("Fetch failed: "),
                                    "Got result 0 for '" + Url("/files/1k.bin") + "', good = true",
                                    std::string("vuxrpc_unix:"), std::string("GET /files/1000.bin HTTP/1.1")})
        EXPECT_NE(log.find(line), std::string::npos) << line << " in\n" << log;
}

TEST_F(Http, MultiHandsBackEachTransferOnce) {
    const int refused = peers::FreePort("127.0.0.1");
    vux_rpc::Multi multi;
    EXPECT_TRUE(multi.empty());
    std::vector<std::ostringstream> outs(20);
    std::map<std::ostream*, std::string> want;  // "" for a failure
    for (int i = 0; i < 20; ++i) {
        vux_rpc::HttpQuery q;
        q.SetMulti(&multi);
        std::string url = Url(i % 2 ? "/files/1000.bin" : "/files/1k.bin");
        std::string body = File(i % 2 ? "1000.bin" : "1k.bin");
        if (i % 5 == 0) {
            url = Url("/status/404");
            body = "";
        } else if (i == 7) {
            url = "http://127.0.0.1:" + std::to_string(refused) + "/";
            body = "";
        }
        q.Get(url + "?" + std::to_string(i), outs[i]);
        want[&outs[i]] = body;
    }
    EXPECT_FALSE(multi.empty());
    std::set<std::ostream*> seen;
    while (!multi.empty()) {
        const vux_rpc::Multi::Result r = multi.Wait();
        ASSERT_TRUE(want.count(r.out));
        EXPECT_TRUE(seen.insert(r.out).second) << r.url;
        EXPECT_EQ(r.out->good(), !want[r.out].empty()) << r.url;
        if (!want[r.out].empty()) {
            EXPECT_TRUE(static_cast<std::ostringstream*>(r.out)->str() == want[r.out]) << r.url;
        }
    }
    EXPECT_EQ(seen.size(), 20u);
    testutil::ExpectAssert([&] { multi.Wait(); }, "no transfer in flight", "vuxrpc_unix");
}

TEST_F(Http, MultiIsAttachedOnceAndMayBeAbandoned) {
    vux_rpc::HttpQuery q;
    {
        vux_rpc::Multi multi;
        q.SetMulti(&multi);
        testutil::ExpectAssert([&] { q.SetMulti(&multi); }, "multi is already set", "vuxrpc_unix");
        std::ostringstream out, again;
        q.Get(Url("/slow/100k.bin"), out);
        // A second request while the first is in flight would reset the handle under libcurl.
        EXPECT_EQ(ErrorKindOf([&] { q.Get(Url("/files/1k.bin"), again); }), "rpc/multi_add");
    }
    // The Multi went with its transfer still running; the query outlives it and says so.
    std::ostringstream out;
    EXPECT_EQ(ErrorKindOf([&] { q.Get(Url("/files/1k.bin"), out); }), "rpc/multi_add");
}

TEST_F(Http, MultiUploadStreamServesOneRequest) {
    vux_rpc::Multi multi;
    vux_rpc::HttpQuery q;
    q.SetMulti(&multi);
    const std::string data = testutil::RandomBytes(1 << 20, 5);
    std::istringstream in(data);
    std::ostringstream first, second;
    q.Put(Url("/dav/m/streamed.bin"), in, first);
    EXPECT_TRUE(multi.Wait().out->good());
    q.Put(Url("/dav/m/plain.bin"), "plain", second);
    EXPECT_TRUE(multi.Wait().out->good());
    EXPECT_TRUE(testutil::ReadFile(nginx_->www() + "/dav/m/streamed.bin") == data);
    EXPECT_EQ(testutil::ReadFile(nginx_->www() + "/dav/m/plain.bin"), "plain");
}

TEST_F(Http, CopiesShareOneConnection) {
    vux_rpc::HttpQuery q;
    vux_rpc::HttpQuery copy = q;
    for (int i = 0; i < 10; ++i) {
        std::ostringstream out;
        (i % 2 ? copy : q).Get(Url("/files/1k.bin?keep" + std::to_string(i)), out);
        EXPECT_TRUE(out.str() == File("1k.bin"));
    }
    std::ostringstream elsewhere;
    vux_rpc::HttpQuery().Get(Url("/files/1k.bin?other"), elsewhere);
    std::set<std::string> connections;
    std::string other;
    std::istringstream log(LogWith("?other"));
    for (std::string connection, method, uri, status, from; log >> connection >> method >> uri >> status >> from;) {
        if (uri.find("?keep") != std::string::npos) connections.insert(connection);
        if (uri.find("?other") != std::string::npos) other = connection;
    }
    EXPECT_EQ(connections.size(), 1u);
    EXPECT_FALSE(other.empty());
    EXPECT_FALSE(connections.count(other)) << "a new query opens a connection of its own";
}

TEST_F(Http, SourceAddressIsUsed) {
    std::ostringstream out, bad;
    vux_rpc::HttpQuery().SetSource("127.0.0.5").Get(Url("/files/1k.bin?from"), out);
    EXPECT_EQ(ErrorKindOf([&] { vux_rpc::HttpQuery().SetSource("no-such-interface0").Get(Url("/files/1k.bin"), bad); }),
              "rpc/query");
    const std::string log = LogWith(" /files/1k.bin?from 200 127.0.0.5\n");
    EXPECT_NE(log.find(" /files/1k.bin?from 200 127.0.0.5\n"), std::string::npos) << log;
}

TEST(HttpQuery, HollowHandleAsserts) {
    struct Hollow : vux_rpc::HttpQuery {
        Hollow() { m_impl.reset(); }
    } hollow;
    std::ostringstream out;
    testutil::ExpectAssert([&] { hollow.Status(); }, "m_impl is NULL", "vuxrpc_unix");
    testutil::ExpectAssert([&] { hollow.SetTimeout(1); }, "m_impl is NULL", "vuxrpc_unix");
    testutil::ExpectAssert([&] { hollow.Get("http://127.0.0.1/", out); }, "m_impl is NULL", "vuxrpc_unix");
}

TEST_F(Http, TimeoutFiresOnTheSlowLocation) {
    for (std::size_t seconds : {1u, 2u}) {
        std::ostringstream out;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(ErrorKindOf([&] { vux_rpc::HttpQuery().SetTimeout(seconds).Get(Url("/slow/100k.bin"), out); }), "rpc/query");
        const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_GE(took, seconds - 0.1);
        EXPECT_LT(took, seconds + 1.5);
        EXPECT_TRUE(out.bad());
    }
}

TEST_F(Http, EightThreadsEachWithItsQuery) {
    std::vector<std::thread> threads;
    std::vector<int> good(8, 0);
    const std::string want = File("1k.bin");
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            vux_rpc::HttpQuery q;
            for (int i = 0; i < 50; ++i) {
                std::ostringstream out;
                q.Get(Url("/files/1k.bin"), out);
                if (out.str() == want && q.Status() == 200) ++good[t];
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(good, std::vector<int>(8, 50));
}

// Runs f in a child process whose /etc/hosts is `hosts` (a private mount namespace; the real
// file is never touched) and returns what f returns.
std::string WithHosts(const std::string& hosts, const std::function<std::string()>& f) {
    testutil::TempDir tmp;
    testutil::WriteFile(tmp / "hosts", hosts);
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string r;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount((tmp / "hosts").c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
            r = "no private mount namespace";
        } else {
            try {
                r = f();
            } catch (const vux_err::Error& e) {
                r = "error " + e.type() + "/" + e.object();
            }
        }
        const ssize_t n = ::write(fds[1], r.data(), r.size());
        ::_exit(n == static_cast<ssize_t>(r.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    const std::string r = testutil::ReadToEnd(fds[0]);
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return r;
}

TEST_F(Http, FastFetchTakesTheFirstGoodAddress) {
    const std::string port = Url("").substr(Url("").rfind(':'));
    const std::string hosts =
        "127.0.0.2 multi.test\n127.0.0.1 multi.test\n127.0.0.3 multi.test\n127.0.0.2 dead.test\n127.0.0.3 dead.test\n"
        "127.0.0.1 single.test\n";
    struct Case {
        std::string url;
        std::size_t max;
        std::string want;
    };
    const Case cases[] = {
        {"http://multi.test" + port + "/files/1k.bin", 0, File("1k.bin")},
        {"http://user@multi.test" + port + "/files/1000.bin", 0, File("1000.bin")},
        {"http://single.test" + port + "/files/1000.bin", 100, File("1000.bin").substr(0, 100)},
        {"http://multi.test" + port + "/status/404", 0, "error rpc/fetch"},
        {"http://dead.test" + port + "/files/1k.bin", 0, "error rpc/fetch"},
        {"http://single.test" + port + "/files/1k.bin", 0, File("1k.bin")},
        {"http://127.0.0.1" + port + "/files/1000.bin", 0, File("1000.bin")},
        {"http://127.0.0.2" + port + "/files/1000.bin", 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const std::string got = WithHosts(hosts, [&] { return vux_rpc::FastFetchString(c.url, c.max); });
        if (got == "no private mount namespace") GTEST_SKIP() << got;
        EXPECT_TRUE(got == c.want) << got.substr(0, 100);
    }
}

// Exit code and standard output of `vux ARGS` (standard error goes to `err` when set).
std::pair<int, std::string> Tool(const std::string& args, const std::string& err = "/dev/null") {
    FILE* p = ::popen((std::string("'") + VUX_TOOL + "' " + args + " 2>" + err).c_str(), "r");
    if (!p) return {-1, ""};
    const std::string out = testutil::ReadToEnd(::fileno(p));
    const int status = ::pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST_F(Http, ToolGetHeadAndFetch) {
    testutil::TempDir tmp;
    EXPECT_EQ(Tool("http get " + Url("/files/1000.bin") + " -o " + (tmp / "got")), std::make_pair(0, std::string()));
    EXPECT_TRUE(testutil::ReadFile(tmp / "got") == File("1000.bin"));
    EXPECT_EQ(Tool("http get " + Url("/status/404") + " -o " + (tmp / "missing")).first, 1);
    EXPECT_NE(::access((tmp / "missing").c_str(), F_OK), 0);
    EXPECT_EQ(Tool("http get " + Url("/files/1000.bin") + " --max-size 10", tmp / "err"), std::make_pair(0, File("1000.bin").substr(0, 10)));
    EXPECT_EQ(testutil::ReadFile(tmp / "err"), "status 200, body cut at --max-size\n");
    const auto head = Tool("http head " + Url("/files/1m.bin") + " --timeout 5");
    EXPECT_EQ(head.first, 0);
    EXPECT_NE(head.second.find("Content-Length: 1048576"), std::string::npos) << head.second;
    EXPECT_EQ(Tool("http get " + Url("/files/1k.bin") + " --timeout x").first, 2);
    const auto fetch = Tool("http fetch " + Url("/files/1k.bin") + " " + Url("/status/404") + " " + Url("/files/1000.bin"));
    EXPECT_EQ(fetch.first, 1);
    std::istringstream lines(fetch.second);
    std::multiset<std::string> got;
    for (std::string line; std::getline(lines, line);) got.insert(line);
    EXPECT_EQ(got, (std::multiset<std::string>{"200 1024 ok " + Url("/files/1k.bin"), "404 0 failed " + Url("/status/404"),
                                                "200 1000 ok " + Url("/files/1000.bin")}));
}

TEST(HttpTool, HelpNamesTheOptionsAndAWrongOptionIsAUsageError) {
    const auto help = Tool("http --help");
    EXPECT_EQ(help.first, 0);
    for (const char* option : {"--header <value>...", "--data <value>", "--timeout <value>", "--max-size <value>",
                               "--output <value>", "(-o)"})
        EXPECT_NE(help.second.find(option), std::string::npos) << option << " in\n" << help.second;
    testutil::TempDir tmp;
    EXPECT_EQ(Tool("http get http://127.0.0.1:9/ --bogus", tmp / "err").first, 2);
    EXPECT_NE(testutil::ReadFile(tmp / "err").find("--header <value>..."), std::string::npos);
    EXPECT_EQ(Tool("http get http://127.0.0.1:9/ --timeout").first, 2);
    EXPECT_EQ(Tool("http fetch http://127.0.0.1:9/ --timeout 5").first, 2);
}

TEST(HttpTour, SectionAgainstItsOwnServer) {
    testutil::TempDir tmp;
    testutil::ChDir in(tmp.path());
    const auto tour = Tool("tour");
    EXPECT_EQ(tour.first, 0);
    const std::string::size_type at = tour.second.find("== HTTP client");
    ASSERT_NE(at, std::string::npos);
    const std::string section = tour.second.substr(at, tour.second.find("\n==", at + 1) - at);
    for (const char* line : {"-> \"hello from loopback\"\n", "-> 20\n", "-> \"hello\", stream marked bad\n",
                             "-> rpc/query, Status() 404\n", "-> / 200 good, /hello.txt 200 good, /missing 404 bad\n"})
        EXPECT_NE(section.find(line), std::string::npos) << line << " in\n" << section;
}

class Tls : public Http {
protected:
    static void SetUpTestSuite() {
        if (!peers::Nginx::Missing().empty()) return;
        try {
            nginx_ = std::make_unique<peers::Nginx>(true);
        } catch (const std::exception& e) {
            failed_ = e.what();
        }
    }
    static std::string Get(vux_rpc::HttpQuery q, const std::string& url) {
        std::ostringstream out;
        const std::string error = ErrorKindOf([&] { q.Get(url, out); });
        return error == "no error" ? out.str() : error;
    }
};

TEST_F(Tls, PeersAndCaFiles) {
    const std::string body = File("1k.bin");
    vux_rpc::HttpQuery plain;
    EXPECT_TRUE(Get(plain, nginx_->SelfSignedUrl("/files/1k.bin")) == body) << "self-signed peers pass by default";
    EXPECT_TRUE(Get(plain, nginx_->CaSignedUrl("/files/1k.bin")) == body);
    vux_rpc::HttpQuery ca;
    ca.SetCaInfo(nginx_->ca());
    EXPECT_TRUE(Get(ca, nginx_->CaSignedUrl("/files/1k.bin")) == body);
    EXPECT_EQ(Get(ca, nginx_->SelfSignedUrl("/files/1k.bin")), "rpc/query");
    vux_rpc::HttpQuery wrong;
    wrong.SetCaInfo(nginx_->self_signed());
    EXPECT_EQ(Get(wrong, nginx_->CaSignedUrl("/files/1k.bin")), "rpc/query");
    // The certificate is its own CA, but names neither localhost nor 127.0.0.1.
    EXPECT_EQ(Get(wrong, nginx_->SelfSignedUrl("/files/1k.bin")), "rpc/query");
    // Only 3 is passed on, and this libcurl refuses SSLv3 before any connection.
    EXPECT_TRUE(Get(vux_rpc::HttpQuery().SetSslVersion(2), nginx_->SelfSignedUrl("/files/1k.bin")) == body);
    EXPECT_EQ(Get(vux_rpc::HttpQuery().SetSslVersion(3), nginx_->SelfSignedUrl("/files/1k.bin")), "rpc/init");
}

TEST_F(Tls, ClientCertificatesWithEncryptedKeys) {
    const std::string url = nginx_->ClientCertUrl("/files/1k.bin");
    EXPECT_EQ(Get(vux_rpc::HttpQuery(), url), "rpc/query") << "nginx asks for a certificate";
    for (const char* form : {"pkcs8", "traditional"}) {
        SCOPED_TRACE(form);
        const std::string stem = nginx_->ClientCert(std::string("client-") + form, form, "s3cret pass");
        vux_rpc::HttpQuery q;
        q.SetCertifacate(stem + ".pem", stem + ".key", "s3cret pass");
        EXPECT_TRUE(Get(q, url) == File("1k.bin"));
        EXPECT_EQ(q.Status(), 200);
        vux_rpc::HttpQuery bad;
        bad.SetCertifacate(stem + ".pem", stem + ".key", "wrong");
        EXPECT_EQ(Get(bad, url), "rpc/query");
    }
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

TEST_F(Echo, CookiesOnlyWhenEnabledAndOnlyForTheHandle) {
    struct Case {
        bool enabled;
        bool kept;
    };
    for (const Case c : {Case{true, true}, Case{false, false}}) {
        vux_rpc::HttpQuery q;
        if (c.enabled) q.EnableCookie();
        std::ostringstream set, show, other;
        q.Get(echo_.Url("/cookie/set?session=abc"), set);
        q.Get(echo_.Url("/show"), show);
        EXPECT_EQ(show.str().find("Cookie: session=abc\n") != std::string::npos, c.kept) << show.str();
        vux_rpc::HttpQuery().EnableCookie().Get(echo_.Url("/show"), other);
        EXPECT_EQ(other.str().find("Cookie:"), std::string::npos) << other.str();
    }
}

TEST_F(Echo, ToolPostsWithHeaders) {
    const auto post = Tool("http post " + echo_.Url("/p") + " --header 'X-One: 1' --data 'a=b&c' --header 'X-Two: 2'");
    EXPECT_EQ(post.first, 0);
    const auto [head, body] = Split(post.second);
    EXPECT_EQ(head.rfind("POST /p\n", 0), 0u) << head;
    EXPECT_NE(head.find("X-One: 1\nX-Two: 2\n"), std::string::npos) << head;
    EXPECT_EQ(body, "a=b&c");
}

TEST_F(Echo, ExpectContinueUpload) {
    // libcurl asks for 100-continue on a body of unknown length; the stand-in answers it.
    const std::string data = testutil::RandomBytes(3 << 20, 11);
    std::istringstream in(data);
    std::ostringstream out;
    vux_rpc::HttpQuery q;
    q.Put(echo_.Url("/up"), in, out);
    const auto [head, body] = Split(out.str());
    EXPECT_NE(head.find("Expect: 100-continue\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Transfer-Encoding: chunked\n"), std::string::npos) << head;
    EXPECT_TRUE(body == data) << body.size();
}

}  // namespace
