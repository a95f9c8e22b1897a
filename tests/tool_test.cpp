// The vux utility, run as panel scripts run it: a real process, its output and exit code.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

struct Result {
    int code;
    std::string out;
};

// Runs `vux ARGS` with `input` on standard input; standard error joins standard output.
Result Vux(const std::string& args, const std::string& input = "") {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "in", input);
    const std::string cmd = std::string("TZ=Europe/Berlin '") + VUX_TOOL + "' " + args + " < '" + (dir / "in") + "'";
    Result r{-1, ""};
    r.out = testutil::ShellOutput(cmd, &r.code);
    return r;
}

// A run and what it must give: its exit code (1 for a library error, 2 for a usage error)
// and its whole output, or a part of it when `part` is set.
struct Case {
    std::string args, input;
    int code;
    std::string out;
    bool part = false;
};

void Check(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const Result r = Vux(c.args, c.input);
        EXPECT_EQ(r.code, c.code) << "vux " << c.args << "\n" << r.out;
        if (c.part) {
            EXPECT_NE(r.out.find(c.out), std::string::npos) << "vux " << c.args << "\n" << r.out;
        } else {
            EXPECT_EQ(r.out, c.out) << "vux " << c.args;
        }
    }
}

std::string Q(const std::string& path) { return "'" + path + "'"; }

}  // namespace

TEST(VuxTool, StringsXmlDatesAndMoney) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "d.xml", "<r><i id='1'/><i id='2'/></r>");
    testutil::WriteFile(dir / "bad.xml", "<r>");
    Check({
        {"str base64 encode", "hello", 0, "aGVsbG8="},
        {"str base64 decode", "aGVsbG8=", 0, "hello"},
        {"str puny encode", "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xD1\x80\xD1\x84", 0,
         "xn--e1afmkfd.xn--p1ai\n"},
        {"xml xpath " + Q(dir / "d.xml") + " '//i/@id'", "", 0, "1\n2\n"},
        {"xml format " + Q(dir / "bad.xml"), "", 1, "<error type=\"xml\"", true},
        // After the clock change.
        {"date '%Y-%m-%d %H:%M' --time 1711846800", "", 0, "2024-03-31 03:00\n"},
        {"date period lastmonth 2024-03-15", "", 0, "2024-02-01 2024-02-29\n"},
        {"money 0.1 0.2", "", 0, "0.30\n"},
        {"money 10.005 --round half", "", 0, "10.01\n"},
        {"money 12,5", "", 1, "type=\"value\"", true},
        {"nosuchcommand", "", 2, "", true},
    });
    const std::string cipher = Vux("str xxtea encode --key 0123456789abcdef", "secret text").out;
    EXPECT_NE(cipher, "secret text");
    EXPECT_EQ(Vux("str xxtea decode --key 0123456789abcdef", cipher).out, "secret text");
}

TEST(VuxTool, FileTailStatCopy) {
    testutil::TempDir dir;
    std::string text;
    for (int i = 1; i <= 100; ++i) text += "line " + std::to_string(i) + "\n";
    testutil::WriteFile(dir / "log", text);
    testutil::WriteFile(dir / "open end", "a\n\nb");
    const std::string log = Q(dir / "log"), copy = dir.path() + ".copy";
    Check({
        {"file tail -n 3 " + log, "", 0, "line 98\nline 99\nline 100\n"},
        {"file tail -n 2 " + Q(dir / "open end"), "", 0, "\nb"},
        {"file tail -n 10 " + Q(dir / "open end"), "", 0, "a\n\nb"},
        {"file tail -n 0 " + log, "", 0, ""},
        {"file tail -n x " + log, "", 2, "", true},
        {"file stat " + log, "", 0, "type: file\nsize: " + std::to_string(text.size()) + "\n", true},
        {"file stat " + Q(dir / "none"), "", 1, "object=\"stat\"", true},
        {"file copy --mode 0640 " + Q(dir.path()) + " " + Q(copy), "", 0, "", true},
        {"file stat " + Q(copy + "/log"), "", 0, "mode: 0640\n", true},
        {"file copy " + log, "", 2, "", true},
        {"file copy --owner no-such-user-xyz " + log + " " + Q(dir / "x"), "", 1, "object=\"user_not_exists\"", true},
    });
    EXPECT_EQ(testutil::ReadFile(copy + "/log"), text);
    std::system(("rm -rf " + Q(copy)).c_str());
}

TEST(VuxTool, LogCheckAndWrite) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "etc/debug.conf", "* 3\nSET color=off\n");
    testutil::WriteFile(dir / "etc/debug.conf.d/a.conf", "myprog.libvux 9\nbroken line\n");
    testutil::ChDir cd(dir.path());
    Check({
        {"log check myprog libvux DEBUG", "", 0, "written\ndecided by etc/debug.conf.d/a.conf:1: myprog.libvux 9",
         true},
        {"log check myprog libvux DEBUG", "", 0, "Malformed line etc/debug.conf.d/a.conf:2", true},
        {"log check other libvux 4", "", 0, "not written\ndecided by etc/debug.conf:1: * 3", true},
        {"log check myprog libvux", "", 2, "", true},
        {"log check myprog libvux LOUD", "", 2, "", true},
    });
    EXPECT_FALSE(std::ifstream("var/other.log").good()) << "checking writes nothing";
    Check({
        {"log write myprog libvux 9 'hello there'", "", 0, "written", true},
        {"log write myprog rpc debug 'not for rpc'", "", 0, "not written", true},
    });
    const std::string log = testutil::ReadFile(dir / "var/myprog.log");
    EXPECT_NE(log.find("] libvux DEBUG hello there\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("not for rpc"), std::string::npos);
}

TEST(VuxTool, AccessCheckAndMask) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "rules", "# panel users\ndeny bob admin+\nallow * *\n");
    const std::string rules = Q(dir / "rules");
    Check({
        {"access check " + rules + " admin+ bob", "", 0,
         "denied\nrule: line 2: deny bob admin+\nlevels: admin+ = 0xE0000000\n"},
        {"access check " + rules + " user bob", "", 0, "allowed\nrule: line 3: allow * *\nlevels: user = 0x00010000\n"},
        {"access check " + Q(dir.path()) + " user bob", "", 0, "denied\nrule: the rule file cannot be read", true},
        {"access mask 'user admin'", "", 0, "0x20010000\n"},
        {"access check only-two args", "", 2, "", true},
    });
}

TEST(VuxTool, ExecAsAnotherUser) {
    if (const std::string why = testutil::UnprivilegedPathsBlocked(); !why.empty()) GTEST_SKIP() << why;
    Check({{"exec --user nobody -- id -un", "", 0, "nobody\nexit status: 0\n"}});
}

TEST(VuxTool, ExecOsHashMime) {
    testutil::TempDir dir;
    testutil::WriteFile(dir / "abc", "abc");
    struct utsname u;
    uname(&u);
    Check({
        {"exec -- sh -c 'echo out; echo err >&2; exit 3'", "", 1, "out\nerr\nexit status: 3\n"},
        {"exec --timeout 1 -- sh -c \"trap '' TERM; sleep 30\"", "", 1, "exit status: -1\n"},
        // A start that fails is the library's to log; the program's own output stays empty.
        {"exec -- /nonexistent/tool", "", 1, "exit status: 1\n"},
        {"exec --user no-such-user-vux -- true", "", 1, "object=\"user_not_exists\"", true},
        {"exec sh -c true", "", 2, "", true},  // the command follows --
        {"exec --timeout x -- true", "", 2, "", true},
        {"os", "", 0, "name: Debian\nfamily: debian\nversion: ", true},
        {"os", "", 0, "\narch: " + std::string(u.machine) + "\n", true},
        {"hash sha256 " + Q(dir / "abc"), "", 0,
         "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad  " + (dir / "abc") + "\n"},
        {"hash md5 -", "abc", 0, "900150983cd24fb0d6963f7d28e17f72  -\n"},
        {"hash sha3 -", "", 2, "", true},
        {"hash sha1 " + Q(dir / "none"), "", 1, "", true},
    });
    testutil::WriteFile(dir / "etc/dist/types.mime", "text/html\thtml htm\nimage/png\tpng\n");
    testutil::ChDir cd(dir.path());
    Check({{"mime htm", "", 0, "text/html\n"}, {"mime exe", "", 1, ""}});
}
