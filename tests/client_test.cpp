#include <libvux/vuxclient.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxxml.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <sys/wait.h>
#include <tuple>
#include <thread>
#include <vector>

#include "peers/core.h"
#include "test_util.h"

namespace {

using vux_client::Local;
using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A panel directory that is the working directory for the test.
struct Scene {
    peers::Panel panel;
    testutil::ChDir cd{panel.dir()};
};

std::string Entry(const std::string& text) {
    const std::uint32_t n = static_cast<std::uint32_t>(text.size());
    return std::string(reinterpret_cast<const char*>(&n), sizeof n) + text;
}

// The query the stand-in core received, as it echoes it.
std::string Sent(vux_client::Client& c, const std::string& query) {
    return c.Query(query).value("query");
}

TEST(ClientLocal, StartsTheCoreAndSendsTheFramedRequest) {
    Scene s;
    const std::string record = s.panel / "wire";
    setenv("VUX_CORE_RECORD", record.c_str(), 1);
    ASSERT_EQ(s.panel.CorePid("core"), -1);
    Local c("core", "127.0.0.9");
    const auto start = Clock::now();
    vux_client::Result r = c.Query("func=echo&x=abc");
    unsetenv("VUX_CORE_RECORD");
    // A core waiting for a half-close that never comes would answer only after 30 s.
    EXPECT_LT(SecondsSince(start), 10);
    const std::string body = "func=echo&x=abc&out=xml";
    EXPECT_EQ(testutil::ReadFile(record), Entry("REQUEST_METHOD=POST") + Entry("REMOTE_ADDR=127.0.0.9") +
                                              Entry("SERVER_ADDR=127.0.0.9") + Entry("CONTENT_LENGTH=23") +
                                              std::string(4, '\0') + body);
    EXPECT_EQ(r.value("query"), body);
    EXPECT_EQ(r.elems().size(), 3u);
    EXPECT_GT(s.panel.CorePid("core"), 0);
    // The environment the core read with the server side of the framing.
    vux_client::Result who = c.Query("func=whoami");
    EXPECT_EQ(who.GetNode("/doc/env[@name='REMOTE_ADDR']").Str(), "127.0.0.9");
    EXPECT_EQ(who.value("pid"), std::to_string(s.panel.CorePid("core")));
    EXPECT_FALSE(who.is_ok());
    EXPECT_TRUE(c.Query("func=sleep&ms=1").is_ok());
}

TEST(ClientLocal, BuildsTheFinalQuery) {
    Scene s;
    std::thread([] {
        Local c("core", "127.0.0.1");
        EXPECT_EQ(vux_client::DefaultLang("de"), "");
        EXPECT_EQ(vux_client::DefaultLang(), "de");
        c.AddParam("p q", "a b");
        c.AddParams("raw=%41");
        std::map<std::string, std::string> m{{"b", "2 3"}, {"a", "1&"}};
        testutil::ExpectPairs({
            {Sent(c, "func=echo"), "func=echo&p%20q=a%20b&raw=%41&lang=de&out=xml"},
            {Sent(c, "out=xml&func=echo"), "out=xml&func=echo&p%20q=a%20b&raw=%41&lang=de"},
            {Sent(c, "func=echo&lang=fr"), "func=echo&lang=fr&p%20q=a%20b&raw=%41&out=xml"},
            {Sent(c, "func=echo&xlang=fr&xout=1"), "func=echo&xlang=fr&xout=1&p%20q=a%20b&raw=%41&lang=de&out=xml"},
        });
        c.ClearParams();
        testutil::ExpectPairs({
            {c.Query("func=echo&a=?&b=?", "x y", "z&?").value("query"), "func=echo&a=x%20y&b=z%26%3F&lang=de&out=xml"},
            {c.Query("func=echo&a=?&b=?", "1").value("query"), "func=echo&a=1&b=?&lang=de&out=xml"},
            {c.Query("func=echo", m).value("query"), "func=echo&a=1%26&b=2%203&lang=de&out=xml"},
        });
        EXPECT_EQ(testutil::ErrorOf([&] { c.Query("func=echo&a=?&b=?", "1", "2", "3"); }),
                  "client/query_args/func=echo&a=?&b=?");
    }).join();
    // The language belongs to the thread that set it.
    Local c("core", "127.0.0.1");
    EXPECT_EQ(Sent(c, "func=echo"), "func=echo&out=xml");
}

TEST(ClientLocal, LogsHiddenParametersMaskedButSendsThem) {
    Scene s;
    testutil::WriteFile(s.panel / "etc/debug.conf", "rpc 6\n");
    setenv("VUX_LOGFILE", (s.panel / "client.log").c_str(), 1);
    vux_log::Init("client_test", 6);
    vux_client::ParamHide("pin");
    EXPECT_TRUE(vux_client::ParamIsHidden("authinfo"));
    Local c("core", "127.0.0.1");
    const std::string sent = Sent(c, "func=echo&password=secret&user=u&pin=1234&passwd=");
    vux_log::Close();
    unsetenv("VUX_LOGFILE");
    EXPECT_EQ(sent, "func=echo&password=secret&user=u&pin=1234&passwd=&out=xml");
    const std::string log = testutil::ReadFile(s.panel / "client.log");
    EXPECT_NE(log.find("Query('func=echo&password=*&user=u&pin=*&passwd=*')"), std::string::npos) << log;
    EXPECT_EQ(log.find("secret"), std::string::npos);
}

TEST(ClientLocal, RepeatsAbortedRepliesThreeTimesAtMost) {
    Scene s;
    Local c("core", "127.0.0.1");
    c.WaitLocked(true);
    EXPECT_TRUE(c.Query("func=abort&id=a&times=2").is_ok());
    EXPECT_EQ(testutil::ErrorOf([&] { c.Query("func=abort&id=b&times=3"); }), "too_many_retry//");
    c.WaitLocked(false);
    EXPECT_EQ(testutil::ErrorKindOf([&] { c.Query("func=abort&id=c"); }), "request_failed/");
}

TEST(ClientLocal, LockedPanelFailsAtOnceOrIsWaitedFor) {
    Scene s;
    testutil::WriteFile(s.panel / "tmp/core.lock", "");
    Local c("core", "127.0.0.1");
    auto start = Clock::now();
    EXPECT_EQ(testutil::ErrorOf([&] { c.Query("func=whoami"); }), "client/locked/");
    EXPECT_LT(SecondsSince(start), 1.5);
    EXPECT_EQ(testutil::ErrorOf([] { vux_client::Connect("core", false); }), "client/locked/");
    EXPECT_FALSE(vux_client::StartManager("core"));
    // A panel's own lock stops its core only.
    testutil::WriteFile(s.panel / "tmp/other.lock", "");
    EXPECT_FALSE(vux_client::StartManager("other"));

    // Another process lifts the lock (a thread of ours would be copied into the forks that
    // start the core).
    const std::string lift = "(sleep 3; rm -f '" + (s.panel / "tmp/core.lock") + "') >/dev/null 2>&1 &";
    ASSERT_EQ(std::system(lift.c_str()), 0);
    c.WaitLocked(true);
    start = Clock::now();
    EXPECT_EQ(c.Query("func=whoami").value("name"), "core");
    const double waited = SecondsSince(start);
    EXPECT_GE(waited, 4.0);  // two steps of 2 s: the lock was still there after the first
    EXPECT_LT(waited, 8.0);
}

// The document without its XML declaration, whose form depends on how it was made.
std::string Canonical(const std::string& text) {
    const std::string s = vux_xml::XmlString(text).Str();
    return s.substr(s.find('\n') + 1);
}

std::string Raw(const std::string& doc) {
    return "func=raw&text=" + str::url::Encode(doc);
}

TEST(ClientLocal, RebuildsTheCoresErrorExactlyAsReceived) {
    Scene s;
    Local c("core", "127.0.0.1");
    const std::string error = "<error type=\"t\" object=\"o\" lang=\"ru\"><param name=\"value\">v</param>"
                              "<msg>text</msg><group>g</group><detail>d</detail><extra/></error>";
    const vux_err::Error e = testutil::Catch<vux_err::Error>([&] { c.Query(Raw("<doc>" + error + "</doc>")); });
    EXPECT_EQ(testutil::DescribeError(e, true), "t/o/v");
    EXPECT_EQ(Canonical(e.xml().Str()), Canonical("<doc>" + str::Replace(error, "lang=\"ru\"", "lang=\"ru\" external=\"yes\"") +
                                       "</doc>"));
    EXPECT_STREQ(e.what(), "text");

    c.Relocalize(true);
    const vux_err::Error relocalized =
        testutil::Catch<vux_err::Error>([&] { c.Query(Raw("<doc>" + error + "</doc>")); });
    EXPECT_EQ(Canonical(relocalized.xml().Str()), Canonical("<doc><error type=\"t\" object=\"o\" external=\"yes\"><param name=\"value\">v"
                                       "</param><extra/></error></doc>"));

    const vux_err::Error bare = testutil::Catch<vux_err::Error>([&] { c.Query(Raw("<doc><error>boom</error></doc>")); });
    EXPECT_EQ(testutil::DescribeError(bare, true), "remote/query/boom");
    EXPECT_EQ(Canonical(bare.xml().Str()),
              Canonical("<doc><error external=\"yes\" type=\"remote\" object=\"query\">boom"
                        "<param name=\"value\">boom</param></error></doc>"));

    // An error the core built itself crosses the process boundary as it was.
    const vux_err::Error built("value", "name", "bad<&>");
    c.Relocalize(false);
    const vux_err::Error crossed =
        testutil::Catch<vux_err::Error>([&] { c.Query("func=fail&type=value&object=name&value=?", "bad<&>"); });
    EXPECT_EQ(testutil::DescribeError(crossed, true), "value/name/bad<&>");
    vux_xml::Xml want = built.xml();
    want.GetNode("/doc/error").SetProp("external", "yes");
    EXPECT_EQ(crossed.xml().Str(), want.Str());
}

TEST(ClientLocal, CrashedCoreGivesAnErrorAndTheNextQueryStartsAnother) {
    Scene s;
    Local c("core", "127.0.0.1");
    const int first = std::atoi(c.Query("func=whoami").value("pid").c_str());
    const auto start = Clock::now();
    EXPECT_EQ(testutil::ErrorKindOf([&] { c.Query("func=crash"); }), "xml/parse/report");
    EXPECT_LT(SecondsSince(start), 5);
    const int second = std::atoi(c.Query("func=whoami").value("pid").c_str());
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
}

TEST(ClientLocal, RestartWaitsForANewCore) {
    Scene s;
    Local c("core", "127.0.0.1");
    const std::string first = c.Query("func=whoami").value("pid");
    c.Restart();
    const std::string second = c.Query("func=whoami").value("pid");
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, first);
}

TEST(ClientLocal, PanelNamesAndSocketPaths) {
    Scene s;
    const std::string name(100, 'n');
    EXPECT_EQ(testutil::ErrorOf([&] { Local(name, "").Query("func=whoami"); }),
              "client/socket_path/tmp/" + name + ".adm.sock");
    // A process inside the panel tries the internal socket first, and the core answers there.
    setenv("VUX_INTERNAL", "core", 1);
    EXPECT_EQ(Local("core", "").Query("func=whoami").value("name"), "core");
    unsetenv("VUX_INTERNAL");
    auto p = vux_client::Connect("core", false);
    p->SendEnv("CONTENT_LENGTH=11");
    p->SendRequest("func=whoami", 11);
    p->RequestComplete();
    char reply[4096];
    EXPECT_NE(std::string(reply, p->GetAnswer(reply, sizeof reply)).find("<name>core</name>"), std::string::npos);

    testutil::WriteFile(s.panel / "etc/vuxlist.conf", "manager  web \nmanager\tmail\r\nmanagers other\n#manager x\n");
    struct Case {
        const char* name;
        bool want;
    };
    for (Case k : {Case{"core", true}, {"web", true}, {"mail", true}, {"other", false}, {"x", false}, {"", false}})
        EXPECT_EQ(vux_client::ManagerRegistered(k.name), k.want) << k.name;
    std::remove((s.panel / "etc/vuxlist.conf").c_str());
    EXPECT_FALSE(vux_client::ManagerRegistered("web"));
    EXPECT_TRUE(vux_client::ManagerRegistered("core"));
}

TEST(ClientProtocol, FramingMistakes) {
    vux_client::Protocol p;
    auto* out = new std::ostringstream;
    p.set_out(out);
    p.SendEnv("A=1");
    p.SendRequest("x", 1);
    EXPECT_EQ(out->str(), Entry("A=1") + std::string(4, '\0') + "x");
    EXPECT_EQ(testutil::AssertText([&] { p.SendEnv("B=2"); }), "Enviroument already sent");
    p.RequestComplete();
    EXPECT_EQ(testutil::AssertText([&] { p.RequestComplete(); }), "request already complete");

    for (const std::string& bad : {std::string("\3\0", 2), Entry("A=1").substr(0, 6)}) {
        vux_client::Protocol server;
        server.set_in(new std::istringstream(bad));
        EXPECT_EQ(testutil::ErrorOf([&] { server.GetEnv(); }), "client/get_env/");
    }
    vux_client::Protocol server;
    const std::string big(3000, 'v');
    server.set_in(new std::istringstream(Entry(big) + std::string(4, '\0') + "body"));
    EXPECT_EQ(server.GetEnv(), big);
    EXPECT_EQ(server.GetEnv(), "");
}

TEST(ClientLocal, FiftyThreadsEachWithItsOwnClient) {
    Scene s;
    Local("core", "127.0.0.1").Query("func=whoami");  // one core, already up
    const std::set<int> fds = testutil::OpenFds();
    std::vector<std::thread> threads;
    std::vector<int> wrong(50, 0);
    for (int t = 0; t < 50; ++t)
        threads.emplace_back([t, &wrong] {
            Local c("core", "127.0.0." + std::to_string(t + 1));
            for (int i = 0; i < 20; ++i) {
                const std::string q = "func=echo&t=" + std::to_string(t) + "&i=" + std::to_string(i);
                vux_client::Result r = c.Query(q);
                if (r.value("query") != q + "&out=xml" || r.elems().size() != 4) ++wrong[t];
            }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, std::vector<int>(50, 0));
    EXPECT_EQ(testutil::OpenFds(), fds);
}

std::string Param(const vux_err::Error& e, const std::string& name) {
    return e.xml().GetNode("/doc/error/param[@name='" + name + "']").Str();
}

// Over plain HTTP to the stand-in's own front, and over HTTPS through nginx before it.
TEST(ClientRemote, PostsTheQueryAndRebuildsErrors) {
    if (!peers::Panel::NginxMissing().empty()) GTEST_SKIP() << peers::Panel::NginxMissing();
    Scene s;
    const std::string record = s.panel / "wire";
    setenv("VUX_CORE_RECORD", record.c_str(), 1);
    const std::string http = s.panel.Http("web"), https = s.panel.Https("tls");
    unsetenv("VUX_CORE_RECORD");
    for (const std::string& url : {http, https}) {
        vux_client::Remote c(url);
        EXPECT_EQ(c.url(), url);
        c.AddParam("p", "a b");
        EXPECT_EQ(Sent(c, "func=echo"), "func=echo&p=a%20b&out=xml") << url;
        const std::string wire = testutil::ReadFile(record);
        EXPECT_EQ(wire.compare(0, 11, "POST /core "), 0) << wire;
        EXPECT_NE(wire.find("\r\nQEX-Client: 5.275.0\r\n"), std::string::npos) << wire;
        // libcurl's own agent is replaced by a blank one (which libcurl may leave out entirely).
        const std::size_t agent = wire.find("\r\nUser-Agent:");
        if (agent != std::string::npos) {
            EXPECT_EQ(str::Trim(wire.substr(agent + 13, wire.find("\r\n", agent + 2) - agent - 13)), "") << wire;
        }
        EXPECT_EQ(wire.find("curl"), std::string::npos) << wire;
        const vux_err::Error e = testutil::Catch<vux_err::Error>([&] { c.Query("func=fail&type=value&object=o&value=v"); });
        EXPECT_EQ(testutil::DescribeError(e, true), "value/o/v");
        EXPECT_EQ(e.xml().GetNode("/doc/error").GetProp("external"), "yes");
        c.WaitLocked(true);
        EXPECT_TRUE(c.Query("func=abort&id=" + url + "&times=2").is_ok());
        EXPECT_EQ(testutil::ErrorOf([&] { c.Query("func=abort&id=again" + url + "&times=3"); }), "too_many_retry//");
    }
}

TEST(ClientRemote, LockedCoreIsAskedAgainUntilTheDeadline) {
    Scene s;
    const std::string url = s.panel.Http("web");
    vux_client::Remote c(url);
    // Without wait_locked a 423 is a reply like any other: here an empty one.
    EXPECT_EQ(testutil::ErrorOf([&] { c.Query("func=locked&id=a"); }), "client/unavailable/" + url);
    c.WaitLocked(true);
    auto start = Clock::now();
    EXPECT_TRUE(c.Query("func=locked&id=b&times=1").is_ok());
    EXPECT_GE(SecondsSince(start), 1.9);
    c.SetTimeout(3);
    EXPECT_EQ(c.timeout(), 3);
    start = Clock::now();
    EXPECT_EQ(testutil::ErrorOf([&] { c.Query("func=locked&id=c&times=100"); }), "client/unavailable/" + url);
    EXPECT_GE(SecondsSince(start), 1.9);
    EXPECT_LT(SecondsSince(start), 3.5);
}

TEST(ClientRemote, UnavailableCoreIsFollowedByItsBody) {
    Scene s;
    const std::string url = s.panel.Http("web");
    vux_client::Remote c(url);
    EXPECT_TRUE(c.Query("func=busy&id=a&times=3").is_ok());
    c.UnavailableTimeout(1);
    const auto start = Clock::now();
    EXPECT_EQ(testutil::ErrorKindOf<vux_err::UnavailableTimeout>([&] { c.Query("func=busy&id=b&times=1000000"); }),
              testutil::ErrorKindOf([] { throw vux_err::UnavailableTimeout(); }));
    EXPECT_LT(SecondsSince(start), 5);
    // A URL without a path has nowhere to be sent on to.
    vux_client::Remote bare(url.substr(0, url.rfind('/')));
    EXPECT_EQ(testutil::ErrorKindOf<vux_err::UnavailableTimeout>([&] { bare.Query("func=busy&id=c"); }),
              testutil::ErrorKindOf([] { throw vux_err::UnavailableTimeout(); }));
}

TEST(ClientRemote, EmptyAndUnparsableReplies) {
    Scene s;
    const std::string url = s.panel.Http("web");
    vux_client::Remote c(url);
    EXPECT_EQ(testutil::ErrorOf([&] { c.Query(Raw("")); }), "client/unavailable/" + url);
    const vux_err::Error e = testutil::Catch<vux_err::Error>([&] { c.Query(Raw("<doc>cut")); });
    EXPECT_EQ(testutil::DescribeError(e, true), "client/bad_response/" + url);
    EXPECT_EQ(Param(e, "response"), "<doc>cut");
    // A core that is not there at all: the HTTP client's own error, passed on.
    vux_client::Remote gone("http://127.0.0.1:1/core");
    EXPECT_EQ(testutil::ErrorKindOf([&] { gone.Query("func=echo"); }).substr(0, 9), "rpc/query");
}

// `vux core query` in the panel directory: exit code and standard output (error joined).
std::pair<int, std::string> Tool(const std::string& args) {
    FILE* p = popen((std::string("'") + VUX_TOOL + "' core " + args + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

TEST(ClientTool, QueriesTheCoreAndShowsItsErrors) {
    Scene s;
    auto [code, out] = Tool("query 'func=echo&x=a%20b'");
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find("<query>func=echo&amp;x=a%20b&amp;out=xml</query>"), std::string::npos) << out;
    std::tie(code, out) = Tool("query --name core 'func=fail&type=value&object=o&value=v'");
    EXPECT_EQ(code, 1);
    EXPECT_NE(out.find("<error type=\"value\" object=\"o\" external=\"yes\">"), std::string::npos) << out;
    const std::string url = s.panel.Http("web");
    std::tie(code, out) = Tool("query --remote " + url + " 'func=whoami'");
    EXPECT_EQ(code, 0);
    EXPECT_NE(out.find("<name>web</name>"), std::string::npos) << out;
    std::tie(code, out) = Tool("--help");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(out.find("usage: vux core query [--remote URL | --name PANEL]"), 0u) << out;
    EXPECT_NE(out.find("--name <value>    (-n) the panel whose core is called"), std::string::npos) << out;
    std::tie(code, out) = Tool("query --name");
    EXPECT_EQ(code, 2);
    EXPECT_NE(out.find("\nNot anought parameter count for option 'name'"), std::string::npos) << out;
    std::tie(code, out) = Tool("ask 'func=echo'");
    EXPECT_EQ(code, 2);
    EXPECT_NE(out.find("\nWrong arguments"), std::string::npos) << out;
    std::tie(code, out) = Tool("query 'func=echo' --what");
    EXPECT_EQ(code, 2);
    EXPECT_NE(out.find("\nWrong arguments"), std::string::npos) << out;
}

}  // namespace
