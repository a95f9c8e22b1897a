// The vux utility, run as panel scripts run it: a real process, its output and exit code.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "test_util.h"

namespace {

struct Result {
    int code;
    std::string out;
};

// Runs `vux ARGS` with `input` on standard input; standard error joins standard output.
Result Vux(const std::string& args, const std::string& input = "") {
    testutil::TempDir dir;
    const std::string in = dir / "in";
    testutil::WriteFile(in, input);
    const std::string cmd = std::string("TZ=Europe/Berlin '") + VUX_TOOL + "' " + args + " < '" + in + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return {-1, ""};
    std::string out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

}  // namespace

TEST(VuxTool, EncodingsRoundTrip) {
    EXPECT_EQ(Vux("str base64 encode", "hello").out, "aGVsbG8=");
    EXPECT_EQ(Vux("str base64 decode", "aGVsbG8=").out, "hello");
    EXPECT_EQ(Vux("str puny encode", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xD1\x80\xD1\x84").out,
              "xn--e1afmkfd.xn--p1ai\n");
    const std::string cipher = Vux("str xxtea encode --key 0123456789abcdef", "secret text").out;
    EXPECT_NE(cipher, "secret text");
    EXPECT_EQ(Vux("str xxtea decode --key 0123456789abcdef", cipher).out, "secret text");
}

TEST(VuxTool, XmlXPathAndErrors) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "d.xml", "<r><i id='1'/><i id='2'/></r>");
    const Result r = Vux("xml xpath '" + (dir / "d.xml") + "' '//i/@id'");
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "1\n2\n");
    testutil::WriteFile(dir / "bad.xml", "<r>");
    const Result bad = Vux("xml format '" + (dir / "bad.xml") + "'");
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.out.find("<error type=\"xml\""), std::string::npos) << bad.out;
}

TEST(VuxTool, DatesAndMoney) {
    EXPECT_EQ(Vux("date '%Y-%m-%d %H:%M' --time 1711846800").out, "2024-03-31 03:00\n") << "after the clock change";
    EXPECT_EQ(Vux("date period lastmonth 2024-03-15").out, "2024-02-01 2024-02-29\n");
    EXPECT_EQ(Vux("money 0.1 0.2").out, "0.30\n");
    EXPECT_EQ(Vux("money 10.005 --round half").out, "10.01\n");
    const Result bad = Vux("money 12,5");
    EXPECT_EQ(bad.code, 1);
    EXPECT_NE(bad.out.find("type=\"value\""), std::string::npos) << bad.out;
    EXPECT_EQ(Vux("nosuchcommand").code, 2) << "usage errors are not library errors";
}

TEST(VuxTool, FileTailStatCopy) {
    testutil::TempDir dir;
    std::string text;
    for (int i = 1; i <= 100; ++i) text += "line " + std::to_string(i) + "\n";
    testutil::WriteFile(dir / "log", text);
    EXPECT_EQ(Vux("file tail -n 3 '" + (dir / "log") + "'").out, "line 98\nline 99\nline 100\n");
    testutil::WriteFile(dir / "open end", "a\n\nb");
    EXPECT_EQ(Vux("file tail -n 2 '" + (dir / "open end") + "'").out, "\nb");
    EXPECT_EQ(Vux("file tail -n 10 '" + (dir / "open end") + "'").out, "a\n\nb");
    EXPECT_EQ(Vux("file tail -n 0 '" + (dir / "log") + "'").out, "");
    EXPECT_EQ(Vux("file tail -n x '" + (dir / "log") + "'").code, 2);

    const Result st = Vux("file stat '" + (dir / "log") + "'");
    EXPECT_EQ(st.code, 0);
    EXPECT_NE(st.out.find("type: file\nsize: " + std::to_string(text.size()) + "\n"), std::string::npos) << st.out;
    const Result missing = Vux("file stat '" + (dir / "none") + "'");
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.out.find("object=\"stat\""), std::string::npos) << missing.out;

    EXPECT_EQ(Vux("file copy --mode 0640 '" + dir.path() + "' '" + (dir.path() + ".copy") + "'").code, 0);
    EXPECT_EQ(testutil::ReadFile(dir.path() + ".copy/log"), text);
    EXPECT_NE(Vux("file stat '" + dir.path() + ".copy/log'").out.find("mode: 0640\n"), std::string::npos);
    EXPECT_EQ(Vux("file copy '" + (dir / "log") + "'").code, 2);
    const Result nouser = Vux("file copy --owner no-such-user-xyz '" + (dir / "log") + "' '" + (dir / "x") + "'");
    EXPECT_EQ(nouser.code, 1);
    EXPECT_NE(nouser.out.find("object=\"user_not_exists\""), std::string::npos) << nouser.out;
    std::system(("rm -rf '" + dir.path() + ".copy'").c_str());
}

TEST(VuxTool, LogCheckAndWrite) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "etc/debug.conf", "* 3\nSET color=off\n");
    testutil::WriteFile(dir / "etc/debug.conf.d/a.conf", "myprog.libvux 9\nbroken line\n");
    testutil::ChDir cd(dir.path());
    const Result yes = Vux("log check myprog libvux DEBUG");
    EXPECT_EQ(yes.code, 0);
    EXPECT_NE(yes.out.find("written\ndecided by etc/debug.conf.d/a.conf:1: myprog.libvux 9"), std::string::npos)
        << yes.out;
    EXPECT_NE(yes.out.find("Malformed line etc/debug.conf.d/a.conf:2"), std::string::npos) << yes.out;
    const Result no = Vux("log check other libvux 4");
    EXPECT_NE(no.out.find("not written\ndecided by etc/debug.conf:1: * 3"), std::string::npos) << no.out;
    EXPECT_FALSE(std::ifstream("var/other.log").good()) << "checking writes nothing";

    EXPECT_NE(Vux("log write myprog libvux 9 'hello there'").out.find("written"), std::string::npos);
    EXPECT_NE(Vux("log write myprog rpc debug 'not for rpc'").out.find("not written"), std::string::npos);
    const std::string log = testutil::ReadFile(dir / "var/myprog.log");
    EXPECT_NE(log.find("] libvux DEBUG hello there\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("not for rpc"), std::string::npos);
    EXPECT_EQ(Vux("log check myprog libvux").code, 2);
    EXPECT_EQ(Vux("log check myprog libvux LOUD").code, 2);
}

TEST(VuxTool, AccessCheckAndMask) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "rules", "# panel users\ndeny bob admin+\nallow * *\n");
    const Result denied = Vux("access check '" + (dir / "rules") + "' admin+ bob");
    EXPECT_EQ(denied.code, 0);
    EXPECT_EQ(denied.out, "denied\nrule: line 2: deny bob admin+\nlevels: admin+ = 0xE0000000\n");
    EXPECT_EQ(Vux("access check '" + (dir / "rules") + "' user bob").out,
              "allowed\nrule: line 3: allow * *\nlevels: user = 0x00010000\n");
    EXPECT_NE(Vux("access check '" + dir.path() + "' user bob").out.find("denied\nrule: the rule file cannot be read"),
              std::string::npos);
    EXPECT_EQ(Vux("access mask 'user admin'").out, "0x20010000\n");
    EXPECT_EQ(Vux("access check only-two args").code, 2);
}

TEST(VuxTool, ExecAsAnotherUser) {
    if (const std::string why = testutil::UnprivilegedPathsBlocked(); !why.empty()) GTEST_SKIP() << why;
    const Result ok = Vux("exec --user nobody -- id -un");
    EXPECT_EQ(ok.out, "nobody\nexit status: 0\n");
    EXPECT_EQ(ok.code, 0);
}

TEST(VuxTool, ExecOsHashMime) {
    EXPECT_EQ(Vux("exec -- sh -c 'echo out; echo err >&2; exit 3'").out, "out\nerr\nexit status: 3\n");
    EXPECT_EQ(Vux("exec -- sh -c 'exit 3'").code, 1);
    const Result slow = Vux("exec --timeout 1 -- sh -c \"trap '' TERM; sleep 30\"");
    EXPECT_EQ(slow.out, "exit status: -1\n");
    const Result missing = Vux("exec -- /nonexistent/tool");
    // A start that fails is the library's to log; the program's own output stays empty.
    EXPECT_EQ(missing.out, "exit status: 1\n");
    EXPECT_EQ(missing.code, 1);
    const Result nouser = Vux("exec --user no-such-user-vux -- true");
    EXPECT_EQ(nouser.code, 1);
    EXPECT_NE(nouser.out.find("object=\"user_not_exists\""), std::string::npos) << nouser.out;
    EXPECT_EQ(Vux("exec sh -c true").code, 2) << "the command follows --";
    EXPECT_EQ(Vux("exec --timeout x -- true").code, 2);

    struct utsname u;
    uname(&u);
    const Result os = Vux("os");
    EXPECT_EQ(os.code, 0);
    EXPECT_NE(os.out.find("name: Debian\nfamily: debian\nversion: "), std::string::npos) << os.out;
    EXPECT_NE(os.out.find("\narch: " + std::string(u.machine) + "\n"), std::string::npos) << os.out;

    testutil::TempDir dir;
    testutil::WriteFile(dir / "abc", "abc");
    EXPECT_EQ(Vux("hash sha256 '" + (dir / "abc") + "'").out,
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  " + (dir / "abc") + "\n");
    EXPECT_EQ(Vux("hash md5 -", "abc").out, "900150983cd24fb0d6963f7d28e17f72  -\n");
    EXPECT_EQ(Vux("hash sha3 -").code, 2);
    EXPECT_EQ(Vux("hash sha1 '" + (dir / "none") + "'").code, 1);

    testutil::WriteFile(dir / "etc/dist/types.mime", "text/html\thtml htm\nimage/png\tpng\n");
    testutil::ChDir cd(dir.path());
    EXPECT_EQ(Vux("mime htm").out, "text/html\n");
    const Result unknown = Vux("mime exe");
    EXPECT_EQ(unknown.code, 1);
    EXPECT_EQ(unknown.out, "");
}
