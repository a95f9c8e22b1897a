// The SSH client against OpenSSH's sshd on loopback: logins, commands and their streams,
// time-outs, a server that goes away, known hosts (judged by ssh-keygen -F) and threads.
#include <libvux/vuxssh.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <istream>
#include <ostream>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include <libvux/vuxlog.h>

#include "peers/sshd.h"
#include "test_util.h"

namespace {

using peers::Sshd;
using peers::TestAccount;
using vux_rpc::SSH;
using vux_rpc::SSHkey;
using vux_rpc::SSHpass;

const char* const kHost = "127.0.0.1";

#define SKIP_WITHOUT_SSHD()                                                  \
    do {                                                                     \
        if (!Sshd::Missing().empty()) GTEST_SKIP() << Sshd::Missing();       \
    } while (0)

SSHpass Pass(int port = 0, const std::string& password = TestAccount().password) {
    return SSHpass(kHost, TestAccount().user, password, port ? port : Sshd::Suite());
}

SSHkey Key(const std::string& name, const std::string& passphrase = "", int port = 0) {
    return SSHkey(kHost, TestAccount().user, TestAccount().Key(name), passphrase, port ? port : Sshd::Suite());
}

// Output and status of one command.
std::string Outcome(SSH ssh, const std::string& command) {
    const std::string out = ssh.Execute(command).Str();
    return out + "status " + std::to_string(ssh.Result());
}

std::string Shell(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

// The known-hosts lines ssh-keygen finds for a name, without its "# Host ... found" remarks.
std::string Found(const std::string& file, const std::string& name) {
    std::string lines;
    std::istringstream all(Shell("ssh-keygen -F '" + name + "' -f '" + file + "' 2>/dev/null"));
    for (std::string line; std::getline(all, line);)
        if (!line.empty() && line[0] != '#') lines += line + "\n";
    return lines;
}

// The log of what f does, at every level.
std::string LogOf(const std::function<void()>& f) {
    testutil::TempDir dir;
    testutil::ChDir cd(dir.path());
    testutil::WriteFile(dir / "etc/debug.conf", "libvux 9\n");
    ::setenv("VUX_LOGFILE", (dir / "ssh.log").c_str(), 1);
    vux_log::Init("ssh_test", 9);
    f();
    vux_log::Close();
    ::unsetenv("VUX_LOGFILE");
    return testutil::ReadFile(dir / "ssh.log");
}

}  // namespace

// The fixture's two halves: CTest runs them before the first and after the last SSH test.
TEST(FixtureSshd, DISABLED_Start) {
    SKIP_WITHOUT_SSHD();
    Sshd::StartSuite();
    EXPECT_EQ(Sshd::Suite(), 2222);
}

TEST(FixtureSshd, DISABLED_Stop) {
    Sshd::StopSuite();
    EXPECT_FALSE(std::filesystem::exists(TestAccount().keys_dir));
}

TEST(SshLogin, EveryWayInRunsCommandsAsTheUser) {
    SKIP_WITHOUT_SSHD();
    const std::string pass = TestAccount().passphrase;
    const std::pair<const char*, std::function<SSH()>> ways[] = {
        {"password", [] { return Pass(); }},
        {"rsa key", [] { return Key("rsa"); }},
        {"ed25519 key", [] { return Key("ed25519"); }},
        {"rsa key with passphrase", [&] { return Key("rsa_pw", pass); }},
        {"ed25519 key with passphrase", [&] { return Key("ed25519_pw", pass); }},
    };
    for (const auto& [name, make] : ways) EXPECT_EQ(Outcome(make(), "id -un"), TestAccount().user + "\nstatus 0") << name;
}

TEST(SshLogin, KeyboardInteractiveAnswersThePromptWithThePassword) {
    SKIP_WITHOUT_SSHD();
    Sshd::Config config;
    config.keyboard_interactive = true;
    Sshd server(config);
    EXPECT_EQ(Outcome(Pass(server.port()), "id -un"), TestAccount().user + "\nstatus 0");
    const vux_err::Error e = testutil::Catch<vux_rpc::ConnectErr>([&] { Pass(server.port(), "wrong").Connect(); });
    EXPECT_EQ(e.object(), "ssh_obj_connect");
    EXPECT_EQ(e.value().rfind("Keyboard interactive authentification failed: ", 0), 0u) << e.value();
}

TEST(SshLogin, WrongCredentialsGiveTheConnectError) {
    SKIP_WITHOUT_SSHD();
    testutil::TempDir dir;
    ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -f " + (dir / "stranger")).c_str()), 0);
    const struct {
        const char* name;
        std::function<void()> login;
        const char* value;
        const char* detail;
    } cases[] = {
        {"password", [] { Pass(0, "wrong").Connect(); }, "Password authentification failed: ", "ssh_detail_pass_auth"},
        {"passphrase", [] { Key("ed25519_pw", "wrong").Connect(); }, "Pubkey authentification failed: ",
         "ssh_detail_pubkey_auth"},
        {"key not authorised",
         [&] { SSHkey(kHost, TestAccount().user, dir / "stranger", "", Sshd::Suite()).Connect(); },
         "Pubkey authentification failed: ", "ssh_detail_pubkey_auth"},
    };
    for (const auto& c : cases) {
        const vux_err::Error e = testutil::Catch<vux_rpc::ConnectErr>(c.login);
        EXPECT_EQ(e.type() + "/" + e.object(), "ssh/ssh_obj_connect") << c.name;
        EXPECT_EQ(e.value().rfind(c.value, 0), 0u) << c.name << ": " << e.value();
        EXPECT_NE(e.xml().Str().find(c.detail), std::string::npos) << c.name;
    }
}

TEST(SshKey, MissingPublicHalfIsMadeBySshKeygen) {
    SKIP_WITHOUT_SSHD();
    testutil::TempDir dir;
    Sshd::Suite();
    for (const std::string name : {"ed25519", "rsa_pw"}) {
        const std::string priv = dir / name;
        std::filesystem::copy_file(TestAccount().Key(name), priv);
        const std::string pass = name == "rsa_pw" ? TestAccount().passphrase : "";
        SSHkey ssh(kHost, TestAccount().user, priv, pass, Sshd::Suite());
        struct stat st;
        ASSERT_EQ(::stat((priv + ".pub").c_str(), &st), 0) << name;
        EXPECT_EQ(st.st_mode & 0777, 0644u) << name;
        // ssh-keygen -y writes no comment: the key itself must be the account's.
        const std::string made = testutil::ReadFile(priv + ".pub");
        const std::string want = testutil::ReadFile(TestAccount().Key(name) + ".pub");
        EXPECT_EQ(made.substr(0, made.find(' ', made.find(' ') + 1)), want.substr(0, want.find(' ', want.find(' ') + 1)));
        EXPECT_EQ(Outcome(ssh, "echo in"), "in\nstatus 0") << name;
    }
}

TEST(SshKey, KeyFilesThatCannotServeAreRefused) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "garbage", "not a key\n");
    ::chmod((dir / "garbage").c_str(), 0600);
    testutil::ExpectPairs({
        {testutil::ErrorOf([&] { SSHkey(kHost, "u", dir / "none", "", 22); }),
         "ssh/ssh_obj_privkey/Private key '" + (dir / "none") + "' not found"},
        {testutil::ErrorOf([&] { SSHkey(kHost, "u", dir / "garbage", "", 22); }),
         "ssh/ssh_obj_pubkey/Failed to get public key by private '" + (dir / "garbage") + "'"},
    });
    // A failed attempt leaves no empty public key behind to be taken for the real one.
    EXPECT_FALSE(std::filesystem::exists(dir / "garbage.pub"));
}

TEST(SshExecute, ManyCommandsShareOneConnectionEachWithItsIdentifier) {
    SKIP_WITHOUT_SSHD();
    SSHpass ssh = Pass();
    std::set<std::string> connections;
    const std::string log = LogOf([&] {
        for (int i = 0; i < 12; ++i) {
            const std::string out = ssh.Execute("echo " + std::to_string(i) + " $SSH_CONNECTION; exit " + std::to_string(i)).Str();
            EXPECT_EQ(out.substr(0, out.find(' ')), std::to_string(i));
            connections.insert(out.substr(out.find(' ')));
            EXPECT_EQ(ssh.Result(), i);
        }
    });
    EXPECT_EQ(connections.size(), 1u);
    std::set<std::string> ids;
    for (std::size_t at = 0; (at = log.find("Run ssh command 'echo ", at)) != std::string::npos; ++at) {
        const std::size_t id_at = log.rfind("id=", at) + 3;
        const std::string id = log.substr(id_at, 6);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        const std::string command = log.substr(at + 17, log.find('\'', at + 17) - at - 17);
        const std::string status = command.substr(command.rfind(' ') + 1);
        const std::string finished = "id=" + id + " Ssh command finished with status ";
        const std::size_t end = log.find(finished);
        ASSERT_NE(end, std::string::npos) << id;
        EXPECT_EQ(std::atoi(log.c_str() + end + finished.size()), std::atoi(status.c_str())) << id;
        EXPECT_NE(log.find("id=" + id + " execute"), std::string::npos) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 12u);
}

TEST(SshExecute, ExitStatusesAndSignals) {
    SKIP_WITHOUT_SSHD();
    SSHpass ssh = Pass();
    const std::pair<const char*, int> cases[] = {
        {"true", 0}, {"exit 1", 1}, {"exit 255", 255}, {"kill -KILL $$", -1}, {"kill -TERM $$", -1}, {"false", 1},
    };
    for (const auto& [command, status] : cases) {
        ssh.Execute(command);
        EXPECT_EQ(ssh.Result(), status) << command;
        EXPECT_EQ(ssh.Result(), status) << command << " (again)";
    }
}

TEST(SshExecute, SecondExecuteCollectsTheFirst) {
    SKIP_WITHOUT_SSHD();
    SSHpass ssh = Pass();
    const std::string log = LogOf([&] {
        ssh.Execute("echo unread; exit 7");
        ssh.Execute("echo second; exit 3");
        EXPECT_EQ(ssh.Str(), "second\n");
        EXPECT_EQ(ssh.Result(), 3);
    });
    EXPECT_NE(log.find("Ssh command finished with status 7"), std::string::npos) << log;
    EXPECT_EQ(testutil::ErrorOf([&] { ssh.Out(); }), "ssh/ssh_obj_internal/Read from closed ssh chanel");
    EXPECT_EQ(testutil::ErrorOf([&] { ssh.In(); }), "ssh/ssh_obj_internal/Write to closed ssh chanel");
    EXPECT_EQ(testutil::AssertText([] { SSH().Execute("true"); }), "dummy SSH handle");
}

TEST(SshStreams, StandardInputComesBackThroughCatByteExact) {
    SKIP_WITHOUT_SSHD();
    const std::string data = testutil::RandomBytes(20 << 20, 17);
    SSHpass ssh = Pass();
    ssh.Execute("cat");
    // Fed and read a piece at a time: both directions have a window that only reading opens.
    const std::size_t piece = 1 << 20;
    std::string back(data.size(), '\0');
    for (std::size_t at = 0; at < data.size(); at += piece) {
        ssh.In().write(data.data() + at, piece);
        ssh.In().flush();
        ssh.Out().read(&back[at], piece);
        ASSERT_TRUE(ssh.Out()) << at;
    }
    ssh.CloseIn();
    EXPECT_EQ(ssh.Str(), "");
    EXPECT_EQ(ssh.Result(), 0);
    EXPECT_TRUE(back == data);
}

TEST(SshStreams, LargeOutputThroughASmallBuffer) {
    SKIP_WITHOUT_SSHD();
    SSHpass ssh = Pass();
    ssh.SetBufferSize(1000);
    ssh.Execute("yes abcdefghijklmno | head -c 104857600");
    const std::string line = "abcdefghijklmno\n";
    std::size_t total = 0, wrong = 0;
    char buf[4096];
    while (ssh.Out().read(buf, sizeof buf) || ssh.Out().gcount() > 0) {
        for (std::streamsize i = 0; i < ssh.Out().gcount(); ++i) wrong += buf[i] != line[(total + i) % 16];
        total += static_cast<std::size_t>(ssh.Out().gcount());
    }
    EXPECT_FALSE(ssh.Out().bad());
    EXPECT_EQ(total, 104857600u);
    EXPECT_EQ(wrong, 0u);
    EXPECT_EQ(ssh.Result(), 0);
}

TEST(SshTimeout, SilentCommandEndsWithTheTimeoutStatusAndTheConnectionGoesOn) {
    SKIP_WITHOUT_SSHD();
    SSHpass ssh = Pass();
    ssh.SetTimeout(1);
    const auto start = std::chrono::steady_clock::now();
    ssh.Execute("echo early; sleep 6; echo late");
    std::string line;
    std::getline(ssh.Out(), line);
    EXPECT_EQ(line, "early");
    EXPECT_EQ(testutil::ErrorOf([&] { ssh.Str(); }),
              "ssh/ssh_obj_internal/Read from ssh channel failed: Timeout was reached");
    EXPECT_EQ(ssh.Result(), -100501);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    ssh.SetTimeout(30);
    EXPECT_EQ(Outcome(ssh, "echo again"), "again\nstatus 0");
}

TEST(SshFailure, ServerStoppedMidCommandGivesAnErrorNotAHang) {
    SKIP_WITHOUT_SSHD();
    Sshd server;
    SSHpass ssh = Pass(server.port());
    const auto start = std::chrono::steady_clock::now();
    ssh.Execute("echo started; sleep 60");
    std::string line;
    std::getline(ssh.Out(), line);
    EXPECT_EQ(line, "started");
    server.Stop();
    EXPECT_EQ(testutil::ErrorKindOf([&] { ssh.Str(); }), "ssh/ssh_obj_internal");
    EXPECT_EQ(testutil::ErrorKindOf([&] { ssh.Result(); }), "ssh/ssh_obj_internal");
    // The next command tries a new connection, which the stopped server refuses.
    EXPECT_EQ(testutil::ErrorOf([&] { ssh.Execute("true"); }),
              "ssh/ssh_obj_connect/function  'connect' return error. Code '111'");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

// A peer that takes each connection and drops it at once, as a server does under load.
TEST(SshConnect, HandshakeCutByThePeerIsTriedTenTimes) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 16), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length), 0);
    std::atomic<int> accepted{0};
    std::thread peer([&] {
        for (int c; (c = ::accept(fd, nullptr, nullptr)) >= 0; ++accepted) ::close(c);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(testutil::ErrorKindOf([&] { Pass(ntohs(a.sin_port)).Connect(); }), "ssh/ssh_obj_connect");
    const auto took = std::chrono::steady_clock::now() - start;
    ::shutdown(fd, SHUT_RDWR);
    peer.join();
    ::close(fd);
    EXPECT_EQ(accepted.load(), 10);
    EXPECT_GE(took, std::chrono::milliseconds(4500));
}

namespace {

using vux_rpc::HostKeyAction;
const HostKeyAction kCheck = vux_rpc::HostKeyCheck;
const HostKeyAction kAdd = vux_rpc::HostKeyCheck | vux_rpc::HostKeyAdd;

std::string Bracketed(int port) {
    return "[127.0.0.1]:" + std::to_string(port);
}

std::string Connects(SSH ssh, const std::string& file, HostKeyAction action) {
    return testutil::ErrorOf([&] { ssh.EnableVerifyHostKey(file, action).Connect(); });
}

// A fresh key of that type nobody serves, as a known-hosts key field.
std::string StrangerKey(const testutil::TempDir& dir, const std::string& type) {
    const std::string file = dir / ("stranger_" + type);
    if (std::system(("ssh-keygen -q -t " + type + " -N '' -f " + file).c_str()) != 0) return "";
    const std::string line = testutil::ReadFile(file + ".pub");
    return line.substr(0, line.find(' ', line.find(' ') + 1));
}

}  // namespace

TEST(SshKnownHosts, DefaultActionChecksNothingAndTouchesNoFile) {
    SKIP_WITHOUT_SSHD();
    testutil::TempDir dir;
    const std::string file = dir / "known_hosts";
    const std::string text = Bracketed(Sshd::Suite()) + " " + StrangerKey(dir, "ed25519") + "\n";
    testutil::WriteFile(file, text);
    EXPECT_EQ(Connects(Pass(), file, vux_rpc::HostKeyIgnore), "no error");
    EXPECT_EQ(Connects(Pass(), dir / "none", vux_rpc::HostKeyIgnore), "no error");
    EXPECT_EQ(testutil::ReadFile(file), text);
    EXPECT_FALSE(std::filesystem::exists(dir / "none"));
}

TEST(SshKnownHosts, UnknownHostIsRefusedUnlessAddingIsAllowed) {
    SKIP_WITHOUT_SSHD();
    testutil::TempDir dir;
    const std::string file = dir / "known_hosts";
    const int port = Sshd::Suite();
    EXPECT_EQ(Connects(Pass(), file, kCheck), "ssh/ssh_obj_hostkey/hostkey not found");
    EXPECT_FALSE(std::filesystem::exists(file));
    EXPECT_EQ(Connects(Pass(), file, kAdd), "no error");
    const std::string found = Found(file, Bracketed(port));
    std::set<std::string> served;
    for (const char* type : {"ed25519", "ecdsa", "rsa"}) served.insert(Sshd::HostKey(type));
    const std::string key = found.substr(found.find(' ') + 1, found.find(" Added by libssh2") - found.find(' ') - 1);
    EXPECT_EQ(served.count(key), 1u) << found;
    EXPECT_EQ(found, Bracketed(port) + " " + key + " Added by libssh2\n");
    EXPECT_EQ(Found(file, kHost), "");
    // Known now: plain checking lets it in and leaves the file as it was.
    EXPECT_EQ(Connects(Pass(), file, kCheck), "no error");
    EXPECT_EQ(testutil::ReadFile(file), found);
}

TEST(SshKnownHosts, PlainNameFlagWritesTheBareHost) {
    SKIP_WITHOUT_SSHD();
    testutil::TempDir dir;
    const std::string file = dir / "known_hosts";
    EXPECT_EQ(Connects(Pass(), file, kAdd | vux_rpc::HostKeyPlainName), "no error");
    EXPECT_NE(Found(file, kHost), "");
    EXPECT_EQ(Found(file, Bracketed(Sshd::Suite())), "");
    EXPECT_EQ(Connects(Pass(), file, kCheck), "no error");
}

TEST(SshKnownHosts, ChangedKeyIsRefusedUnlessReplacingIsAllowed) {
    SKIP_WITHOUT_SSHD();
    Sshd::Config config;
    config.host_keys = {"ed25519"};
    Sshd server(config);
    testutil::TempDir dir;
    const std::string file = dir / "known_hosts";
    const std::string other = "other.example " + StrangerKey(dir, "rsa") + "\n";
    const std::string text = other + Bracketed(server.port()) + " " + StrangerKey(dir, "ed25519") + "\n";
    testutil::WriteFile(file, text);
    EXPECT_EQ(Connects(Pass(server.port()), file, kAdd), "ssh/ssh_obj_hostkey/hostkey changed");
    EXPECT_EQ(testutil::ReadFile(file), text);
    EXPECT_EQ(Connects(Pass(server.port()), file, kCheck | vux_rpc::HostKeyReplace), "no error");
    EXPECT_EQ(Found(file, Bracketed(server.port())),
              Bracketed(server.port()) + " " + Sshd::HostKey("ed25519") + " Replaced by libssh2\n");
    EXPECT_EQ(Found(file, "other.example"), other);
    EXPECT_EQ(Connects(Pass(server.port()), file, kCheck), "no error");
}

TEST(SshKnownHosts, EveryCurrentHostKeyTypeIsStoredAndChecked) {
    SKIP_WITHOUT_SSHD();
    for (const std::string type : {"ed25519", "ecdsa", "rsa"}) {
        Sshd::Config config;
        config.host_keys = {type};
        Sshd server(config);
        testutil::TempDir dir;
        const std::string file = dir / "known_hosts";
        EXPECT_EQ(Connects(Pass(server.port()), file, kAdd), "no error") << type;
        EXPECT_EQ(Found(file, Bracketed(server.port())),
                  Bracketed(server.port()) + " " + Sshd::HostKey(type) + " Added by libssh2\n")
            << type;
        EXPECT_EQ(Connects(Pass(server.port()), file, kCheck), "no error") << type;
        // As with OpenSSH, a key of another type on file is no key for this one.
        const std::string another = type == "rsa" ? "ed25519" : "rsa";
        testutil::WriteFile(file, Bracketed(server.port()) + " " + Sshd::HostKey(another) + "\n");
        EXPECT_EQ(Connects(Pass(server.port()), file, kCheck), "ssh/ssh_obj_hostkey/hostkey not found") << type;
    }
}

TEST(SshThreads, EightConnectionsRunCommandsAtOnce) {
    SKIP_WITHOUT_SSHD();
    const int port = Sshd::Suite();
    std::vector<std::string> got(8), want(8);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            SSHpass ssh = Pass(port);
            for (int i = 0; i < 10; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                got[t] += ssh.Execute("echo " + tag + "; head -c 300000 /dev/zero | wc -c; exit " + std::to_string(i)).Str();
                got[t] += std::to_string(ssh.Result()) + ";";
                want[t] += tag + "\n300000\n" + std::to_string(i) + ";";
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(got[t], want[t]) << t;
}

TEST(SshStreams, ReadsomeTakesOnlyWhatHasArrived) {
    SKIP_WITHOUT_SSHD();
    SSHpass ssh = Pass();
    ssh.Execute("echo ready; read line; echo \"got $line\"");
    std::string line;
    std::getline(ssh.Out(), line);
    EXPECT_EQ(line, "ready");
    char buf[64];
    EXPECT_EQ(ssh.Out().readsome(buf, sizeof buf), 0);
    ssh.In() << "ping\n";
    ssh.CloseIn();
    EXPECT_EQ(ssh.Str(), "got ping\n");
    EXPECT_EQ(ssh.Result(), 0);
}

namespace {

// Exit status of the tool with standard input from `in`, standard output into `out`.
int Tool(const std::string& args, const std::string& in, const std::string& out) {
    const int rc = std::system((std::string(VUX_TOOL) + " ssh " + args + " <'" + in + "' >'" + out + "' 2>'" + out + ".err'").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

}  // namespace

TEST(SshTool, StreamsBothWaysAndExitsWithTheRemoteStatus) {
    SKIP_WITHOUT_SSHD();
    testutil::TempDir dir;
    const std::string port = std::to_string(Sshd::Suite()), target = TestAccount().user + "@127.0.0.1";
    testutil::WriteFile(dir / "password", TestAccount().password + "\n");
    const std::string data = testutil::RandomBytes(5 << 20, 3);
    testutil::WriteFile(dir / "in", data);
    EXPECT_EQ(Tool("--password-file " + (dir / "password") + " --port " + port + " " + target + " -- 'cat; exit 7'",
                   dir / "in", dir / "out"),
              7);
    EXPECT_TRUE(testutil::ReadFile(dir / "out") == data);
    // Known hosts through the tool: added once, then a changed key stops it with the error document.
    const std::string known = dir / "known_hosts";
    const std::string by_key = "--key " + TestAccount().Key("ed25519") + " --port " + port + " --known-hosts " + known;
    EXPECT_EQ(Tool(by_key + " --hostkey-action 6 " + target + " -- id -un", "/dev/null", dir / "out"), 0);
    EXPECT_EQ(testutil::ReadFile(dir / "out"), TestAccount().user + "\n");
    EXPECT_NE(Found(known, Bracketed(Sshd::Suite())), "");
    testutil::WriteFile(known, Bracketed(Sshd::Suite()) + " " + StrangerKey(dir, "ecdsa") + "\n" +
                                   Bracketed(Sshd::Suite()) + " " + StrangerKey(dir, "ed25519") + "\n" +
                                   Bracketed(Sshd::Suite()) + " " + StrangerKey(dir, "rsa") + "\n");
    EXPECT_EQ(Tool(by_key + " --hostkey-action 2 " + target + " -- true", "/dev/null", dir / "out"), 1);
    EXPECT_NE(testutil::ReadFile(dir / "out.err").find("hostkey changed"), std::string::npos);
    EXPECT_EQ(Tool("--port " + port + " " + target + " -- true", "/dev/null", dir / "out"), 2);
    EXPECT_EQ(Tool("--password-file " + (dir / "password") + " --port " + port + " " + target + " -- 'kill -9 $$'",
                   "/dev/null", dir / "out"),
              255);
}

TEST(SshTool, HelpNamesTheOptionsAndAWrongOptionIsAUsageError) {
    testutil::TempDir dir;
    EXPECT_EQ(Tool("--help", "/dev/null", dir / "out"), 0);
    const std::string help = testutil::ReadFile(dir / "out");
    for (const char* option : {"--key <value>", "--password-file <value>", "--port <value>", "--known-hosts <value>",
                               "--hostkey-action <value>"})
        EXPECT_NE(help.find(option), std::string::npos) << option << " in\n" << help;
    // Nothing is contacted: each line is refused before connecting.
    EXPECT_EQ(Tool("--key /nonexistent --bogus u@127.0.0.1 -- true", "/dev/null", dir / "out"), 2);
    EXPECT_NE(testutil::ReadFile(dir / "out.err").find("--hostkey-action <value>"), std::string::npos);
    EXPECT_EQ(Tool("--key /nonexistent u@127.0.0.1 --bogus -- true", "/dev/null", dir / "out"), 2);
    EXPECT_EQ(Tool("--key /nonexistent --password-file /nonexistent u@127.0.0.1 -- true", "/dev/null", dir / "out"), 2);
    EXPECT_EQ(Tool("--key /nonexistent --port 0 u@127.0.0.1 -- true", "/dev/null", dir / "out"), 2);
    EXPECT_EQ(Tool("--key /nonexistent u@127.0.0.1 true", "/dev/null", dir / "out"), 2);
}
