// Logging: rules and their precedence, settings, the line format, rotation,
// and many threads and processes sharing one log.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include <libvux/vuxerr.h>
#include <libvux/vuxlog.h>
#include <libvux/vuxstr.h>
#include <libvux/vuxthread.h>

#include "alloc_count.h"
#include "test_util.h"

namespace {

using vux_log::Module;

// A scratch installation directory; the log is closed when it goes.
class LogTest : public ::testing::Test {
protected:
    LogTest() : cd_(dir_.path()) {}
    ~LogTest() override {
        vux_log::Close();
        ::unsetenv("VUX_LOGFILE");
    }
    void Conf(const std::string& name, const std::string& text) { testutil::WriteFile(dir_ / name, text); }
    std::string Log(const std::string& program) { return testutil::ReadFile(dir_ / ("var/" + program + ".log")); }

    testutil::TempDir dir_;
    testutil::ChDir cd_;
};

// Standard error into a file for a scope: the console storage writes there.
class StderrTo {
public:
    explicit StderrTo(const std::string& path) : saved_(::dup(2)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StderrTo() {
        ::dup2(saved_, 2);
        ::close(saved_);
    }

private:
    int saved_;
};

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// '#' matches a digit, '@' a letter, '?' any character, '*' any run; the rest itself.
bool Like(const char* s, const char* p) {
    for (; *p; ++p, ++s) {
        if (*p == '*') {
            for (const char* t = s;; ++t) {
                if (Like(t, p + 1)) return true;
                if (!*t) return false;
            }
        }
        if (!*s) return false;
        if (*p == '#' ? !std::isdigit(static_cast<unsigned char>(*s))
                      : *p == '@' ? !std::isalpha(static_cast<unsigned char>(*s)) : *p != '?' && *p != *s)
            return false;
    }
    return !*s;
}

bool Like(const std::string& s, const std::string& p) { return Like(s.c_str(), p.c_str()); }

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t i = text.find(what); i != std::string::npos; i = text.find(what, i + 1)) ++n;
    return n;
}

// Runs f in a thread that has a registered state with these informations.
template <class F>
void WithInfo(const StringMap& info, F f) {
    std::thread t([&] {
        vux_thread::InitState("log-test-" + std::to_string(std::hash<std::thread::id>()(std::this_thread::get_id())),
                              "test");
        for (const auto& kv : info) vux_thread::SetInfo(kv.first, kv.second);
        f();
    });
    t.join();
}

TEST_F(LogTest, RulePrecedenceAcrossFilesProgramsAndModules) {
    Conf("etc/debug.conf", "* 3\nprec_a 5\nprec_b 7   # generic rule of one module\n");
    Conf("etc/debug.conf.d/10-a.conf", "myprog.prec_a 9\n");
    Conf("etc/debug.conf.d/20-b.conf", "myprog.* 4\nother.prec_b 8\n*.prec_c 6\n");
    Conf("etc/debug.conf.d/ignored.txt", "* 9\n");
    vux_log::Init("myprog", 1);
    Module a("prec_a"), b("prec_b"), c("prec_c"), d("prec_d");
    EXPECT_TRUE(a.Check(9)) << "the module's own program rule comes first";
    EXPECT_FALSE(b.Check(5)) << "the program rule of all modules beats a module's generic rule";
    EXPECT_TRUE(b.Check(4));
    EXPECT_FALSE(d.Check(5));
    EXPECT_TRUE(d.Check(4)) << "modules without rules inherit those of all modules";
    EXPECT_FALSE(c.Check(6)) << "'*.' is generic, and the program rule of all modules comes before it";
    vux_log::Close();

    vux_log::Init("other", 1);
    EXPECT_TRUE(b.Check(8)) << "another program's rules apply to it only";
    EXPECT_FALSE(b.Check(9));
    EXPECT_TRUE(a.Check(5));
    EXPECT_FALSE(a.Check(6)) << "myprog's rule is ignored by other";
    EXPECT_TRUE(c.Check(6));
    EXPECT_FALSE(d.Check(4));
    EXPECT_TRUE(d.Check(3));
    EXPECT_NE(a.Explain(5).find("etc/debug.conf:2: prec_a 5"), std::string::npos) << a.Explain(5);
    vux_log::Close();

    Conf("etc/debug.conf", "prec_b 2\n");
    vux_log::Init("third", 6);
    EXPECT_TRUE(d.Check(6)) << "without a plain rule for all modules, Init's level applies";
    EXPECT_FALSE(d.Check(7));
    EXPECT_FALSE(b.Check(3));
    EXPECT_NE(d.Explain(6).find("the level given to Init (6)"), std::string::npos);
}

TEST_F(LogTest, RulesForLaterModulesAndReload) {
    Conf("etc/debug.conf", "* 3\nlate_init 9\n");
    vux_log::Init("late", 3);
    Module later("late_init");
    EXPECT_TRUE(later.Check(9)) << "rules read by Init wait for the module";
    Conf("etc/debug.conf", "* 3\nlate_init 9\nlate_reload 9\n");
    vux_log::Reload();
    Module after("late_reload");
    EXPECT_FALSE(after.Check(9)) << "Reload drops rules of modules not registered yet";
    EXPECT_TRUE(after.Check(3));
    Conf("etc/debug.conf", "* 2\n");
    vux_log::Reload();
    EXPECT_FALSE(later.Check(3)) << "Reload replaces the rules";
    EXPECT_TRUE(later.Check(2));
    StringList modules;
    vux_log::GetModulesList(modules);
    EXPECT_NE(std::find(modules.begin(), modules.end(), "late_init"), modules.end());
    EXPECT_TRUE(std::is_sorted(modules.begin(), modules.end()));
}

// Conditional rules are walked without a lock while Reload replaces them.
TEST_F(LogTest, ReloadWhileThreadsWalkConditions) {
    Conf("etc/debug.conf", "* 3\nwalk_mod 9 user=root\n");
    vux_log::Init("walk", 3);
    Module m("walk_mod");
    std::atomic<bool> stop{false};
    std::atomic<long> yes{0}, no{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            vux_thread::InitState("walker-" + std::to_string(t), "walking");
            vux_thread::SetInfo("user", t % 2 ? "root" : "guest");
            while (!stop) (m.Check(9) ? yes : no).fetch_add(1);
        });
    for (int i = 0; i < 300; ++i) {
        Conf("etc/debug.conf", "* 3\nwalk_mod 9 user=root or n=" + std::to_string(i) + "\nSET max_log_size=200000x\n");
        vux_log::Reload();
    }
    stop = true;
    for (auto& t : threads) t.join();
    EXPECT_GT(yes.load(), 0);
    EXPECT_GT(no.load(), 0);
    EXPECT_EQ(vux_log::MaxLogSize(), 200000u) << "a size is read as the number it starts with";
    EXPECT_NE(Log("walk").find("read as far as it is one (max_log_size is not a number): SET max_log_size=200000x"),
              std::string::npos);
}

TEST_F(LogTest, Conditions) {
    Conf("etc/debug.conf", "* 0\ncond_a 9 a=1 or b=2 and c=3\ncond_b 9 ( a=1 or b=2 ) and user~adm\n");
    vux_log::Init("cond", 0);
    Module a("cond_a"), b("cond_b");
    const struct {
        StringMap info;
        bool a, b;
    } cases[] = {
        {{{"a", "1"}}, true, false},
        {{{"b", "2"}}, false, false},
        {{{"b", "2"}, {"c", "3"}}, true, false},
        {{{"a", "2"}, {"c", "3"}}, false, false},
        {{{"b", "2"}, {"user", "sysadmin"}}, false, true},
        {{{"a", "1"}, {"user", "guest"}}, true, false},
    };
    for (const auto& c : cases)
        WithInfo(c.info, [&] {
            EXPECT_EQ(a.Check(9), c.a) << str::Join(c.info, ",");
            EXPECT_EQ(b.Check(9), c.b) << str::Join(c.info, ",");
        });
    EXPECT_FALSE(a.Check(9)) << "a thread without informations";
    EXPECT_TRUE(a.Check(0));
}

TEST_F(LogTest, MalformedLinesAreSkippedAndReportedOnce) {
    Conf("etc/debug.conf",
         "SET color=off\nbad_one nine\nbad_ok 9\nbad_two 9 a=1 xor b=2\nbad_three 9 ( a=1\n"
         "bad_four 9 a=1 and\nbad_ok2 8 x=1 or y=2\nother.bad_one nine\n");
    vux_log::Init("bad", 3);
    EXPECT_TRUE(Module("bad_ok").Check(9)) << "rules after a malformed line still load";
    EXPECT_FALSE(Module("bad_one").Check(4));
    vux_log::Reload();
    vux_log::Reload();
    const std::string log = Log("bad");
    EXPECT_EQ(Count(log, "Malformed line"), 4u) << log;
    for (const char* once :
         {"etc/debug.conf:2 ignored (bad level): bad_one nine", "(bad op: xor)", "(bad ')')", "(bad and)"})
        EXPECT_EQ(Count(log, once), 1u) << once << "\n" << log;
    StringList problems;
    vux_log::LoadRules("bad", 3, &problems);
    EXPECT_EQ(problems.size(), 4u) << "a tool asking gets every problem";

    // The condition language's other errors.
    Conf("etc/debug.conf", "SET color=off\nb1 1 ( a=1 ) )\nb2 1 or a=1\nb3 1 a=1 b=2\nb4 1 ( )\nb5 1 a=1 or ( b=2\n");
    vux_log::Reload();
    const std::string again = Log("bad");
    EXPECT_EQ(Count(again, "b1 1 ( a=1 ) )"), 1u);
    for (const char* why : {"(bad ')'): b1", "(bad or): b2", "(too many values): b3", "(bad ')'): b4", "(bad ')'): b5"})
        EXPECT_NE(again.find(why), std::string::npos) << why << "\n" << again;
}

TEST_F(LogTest, Settings) {
    Conf("etc/debug.conf.d/a.conf", "SET set.storage=console\nSET max_log_size=1000\n");
    Conf("etc/debug.conf", "* 5\nSET storage=file\nSET other.color=off\nSET bogus=1\n");
    {
        StderrTo err(dir_ / "stderr");
        vux_log::Init("set", 5);
        Module("set_mod").Write(5, "to the console %d", 42);
        EXPECT_EQ(vux_log::MaxLogSize(), 102400u);
        vux_log::Close();
    }
    const std::string out = testutil::ReadFile(dir_ / "stderr");
    EXPECT_NE(out.find("set_mod \033[1;32mINFO to the console 42\033[0m\n"), std::string::npos) << out;
    EXPECT_NE(out.find("log INFO Finished\n"), std::string::npos) << "Close turns colour off";
    EXPECT_FALSE(std::ifstream("var/set.log").good()) << "the program's own setting is fixed";
    EXPECT_EQ(vux_log::MaxLogSize(), 100000000u) << "without a log object";
    ::unlink((dir_ / "etc/debug.conf.d/a.conf").c_str());
    // Below the minimum, negative or not, the limit is the minimum.
    for (const char* value : {"-1", "-200000", "0", "5"}) {
        Conf("etc/debug.conf", std::string("SET max_log_size=") + value + "\n");
        vux_log::Init("set", 3);
        EXPECT_EQ(vux_log::MaxLogSize(), 102400u) << value;
        vux_log::Close();
    }
    Conf("etc/debug.conf", "SET storage=carrier-pigeon\n");
    EXPECT_THROW(vux_log::Init("set", 5), std::runtime_error);
}

TEST_F(LogTest, LineFormatColourAndCapture) {
    Conf("etc/debug.conf", "* 9\nSET color=off\n");
    vux_log::Init("fmt", 3);
    EXPECT_TRUE(vux_log::Has());
    Module m("fmt_mod");
    vux_log::StartThreadLog();
    m.Write(4, "plain %s %05d", "text", 42);
    Conf("etc/debug.conf", "* 9\n");
    vux_log::Reload();
    m.Write(3, "%s", std::string(5000, 'x').c_str());
    std::string other_id;
    std::thread([&] {
        other_id = vux_log::Id();
        m.Write(9, "from a thread");
    }).join();
    const std::string captured = vux_log::GetThreadLog();
    vux_log::Close();
    EXPECT_FALSE(vux_log::Has());
    m.Write(3, "after close");

    const std::vector<std::string> lines = SplitLines(Log("fmt"));
    ASSERT_EQ(lines.size(), 4u);
    const std::string id = vux_log::Id(), time = "@@@ ?# ##:##:## ";
    EXPECT_TRUE(Like(lines[0], time + "[" + id + "] fmt_mod WARNING plain text 00042")) << lines[0];
    EXPECT_EQ(id.substr(0, id.find(':')), std::to_string(::getpid()));
    EXPECT_NE(other_id, id);
    EXPECT_TRUE(Like(lines[1], time + "[" + id + "] fmt_mod \033[1;31mERROR " + std::string(5000, 'x') + "\033[0m"))
        << "a long message is formatted whole";
    EXPECT_TRUE(Like(lines[2], time + "[" + other_id + "] fmt_mod \033[1;33mDEBUG from a thread\033[0m"));
    EXPECT_TRUE(Like(lines[3], time + "[" + id + "] log INFO Finished"));
    const std::vector<std::string> cap = SplitLines(captured);
    ASSERT_EQ(cap.size(), 2u) << "only this thread's lines, with plain labels";
    EXPECT_EQ(cap[0], lines[0]);
    EXPECT_NE(cap[1].find("] fmt_mod ERROR xxxx"), std::string::npos);
}

TEST_F(LogTest, CaptureKeepsRecentLines) {
    Conf("etc/debug.conf", "* 9\nSET color=off\n");
    vux_log::Init("cap", 3);
    Module m("cap_mod");
    std::string captured;
    std::thread([&] {
        vux_log::StartThreadLog();
        const std::string big(100000, 'b');
        for (int i = 0; i < 100; ++i) m.Write(5, "%d %s", i, big.c_str());
        captured = vux_log::GetThreadLog();
    }).join();
    EXPECT_LE(captured.size(), 0x400000u + 100100u);
    EXPECT_GT(captured.size(), 0x400000u - 100100u);
    EXPECT_EQ(captured.find(" INFO 0 "), std::string::npos) << "the oldest lines went";
    EXPECT_NE(captured.find(" INFO 99 "), std::string::npos);
    EXPECT_EQ(captured.back(), '\n');
}

TEST_F(LogTest, ErrorsLogThemselvesWithTheirStack) {
    Conf("etc/debug.conf", "* 3\nbacktrace 6\nSET color=off\n");
    vux_log::Init("err", 3);
    try {
        throw vux_err::Value("name", "x y");
    } catch (const vux_err::Error&) {
    }
    vux_log::Close();
    const std::string log = Log("err");
    EXPECT_NE(log.find("libvux ERROR Error: Type: 'value' Object: 'name' Value: 'x y'"), std::string::npos) << log;
    // A frame of this test program itself, by its file name.
    EXPECT_TRUE(Like(log, std::string("*] backtrace EXTINFO * (*/") + program_invocation_short_name + " + 0x#*) [*"))
        << log;

    Conf("etc/debug.conf", "* 3\nbacktrace 4\n");
    vux_log::Init("err2", 3);
    vux_err::Error("quiet", "stack");
    vux_log::Close();
    const std::string quiet = Log("err2");
    EXPECT_NE(quiet.find("Error: Type: 'quiet'"), std::string::npos);
    EXPECT_EQ(quiet.find("backtrace"), std::string::npos) << "frames need level 5 of \"backtrace\"";
}

// A check is a state report: it marks the thread "debug" and stamps the time, fires a
// pending abort outside NoFail scopes, and leaves a thread without a state alone; none of
// it allocates or changes the answer.
TEST_F(LogTest, CheckAllocatesNothingAndReportsTheThreadState) {
    Conf("etc/debug.conf", "* 3\nnoalloc_cond 9 user=root\n");
    vux_log::Init("report", 3);
    Module m("report_mod"), cond("noalloc_cond");
    auto checks_allocate_nothing = [&] {
        const long before = alloccount::allocations.load();
        bool any = false;
        for (int i = 0; i < 10000; ++i) any |= m.Check(9) | m.Check(4);
        EXPECT_EQ(alloccount::allocations.load() - before, 0);
        EXPECT_FALSE(any);
        EXPECT_TRUE(m.Check(3));
    };
    checks_allocate_nothing();
    EXPECT_FALSE(cond.Check(9)) << "the condition does not hold here";
    EXPECT_TRUE(cond.Check(3));
    std::thread bare([&] {
        EXPECT_NO_THROW(m.Check(9));
        EXPECT_EQ(vux_thread::GetState("report-thread").GetText(), "finished");
    });
    bare.join();
    std::thread t([&] {
        vux_thread::InitState("report-thread", "start");
        vux_thread::SetStateC("busy");
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        checks_allocate_nothing();
        vux_thread::State s = vux_thread::GetState("report-thread");
        EXPECT_EQ(s.GetText(), "debug");
        EXPECT_GE(vux_date::Diff(s.GetStart(), s.GetChanged()), 40) << "the check stamped its own time";
        EXPECT_LT(std::abs(vux_date::Diff(s.GetChanged(), vux_date::AccurateDateTime())), 1000);

        vux_thread::FailIt("report-thread");
        {
            vux_thread::NoFail scope;
            EXPECT_FALSE(m.Check(9));
        }
        struct Unwinding {
            const Module& m;
            ~Unwinding() { EXPECT_TRUE(m.Check(3)); }
        };
        try {
            Unwinding u{m};
            throw std::runtime_error("unwinding");
        } catch (const std::runtime_error&) {
        }
        EXPECT_THROW(m.Check(9), vux_thread::Aborted);
        vux_thread::SetNoFail();
        EXPECT_TRUE(m.Check(3));
    });
    t.join();
}

// The precomputed answer marks "no rule" and "walk the conditions" with the
// extreme ints; a level that equals one is still answered by its rule.
TEST_F(LogTest, CheckAnswersAtTheEdgesOfTheLevelRange) {
    Module m("edge_mod");
    const int edges[] = {INT_MIN, INT_MIN + 1, -1, 0, 9, INT_MAX - 1, INT_MAX};
    for (int granted : edges) {
        vux_log::LoadRules("edge", granted);
        for (int level : edges)
            EXPECT_EQ(m.Check(level), level <= granted) << "level " << level << ", granted " << granted;
    }
    Conf("etc/debug.conf", "edge_mod 2147483647\n");
    vux_log::LoadRules("edge", 3);
    EXPECT_TRUE(m.Check(INT_MAX));
}

TEST_F(LogTest, UnopenableFileIsAnnouncedAndLinesDropped) {
    testutil::WriteFile(dir_ / "plain", "");
    ::setenv("VUX_LOGFILE", (dir_ / "plain/x.log").c_str(), 1);
    Conf("etc/debug.conf", "* 9\n");
    {
        StderrTo err(dir_ / "stderr");
        vux_log::Init("nofile", 3);
        Module("nofile").Write(3, "dropped");
        vux_log::Reload();
    }
    EXPECT_STREQ(::getenv("VUX_LOGFILE"), "") << "children must not inherit the path";
    const std::string out = testutil::ReadFile(dir_ / "stderr");
    EXPECT_EQ(Count(out, "Failed to open logfile '" + (dir_ / "plain/x.log") +
                             "'. You can change it using environment variable VUX_LOGFILE\n"),
              1u)
        << out;
    EXPECT_EQ(out.find("dropped"), std::string::npos);
}

// The backups under var/logs in name order, decompressed, once gzip has done them all.
std::vector<std::pair<std::string, std::string>> Backups(const std::string& logs) {
    std::vector<std::string> names;
    for (const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);;) {
        names.clear();
        bool plain = false;
        if (DIR* d = ::opendir(logs.c_str())) {
            while (dirent* e = ::readdir(d)) {
                const std::string n = e->d_name;
                if (n[0] == '.') continue;
                names.push_back(n);
                plain |= n.size() < 3 || n.compare(n.size() - 3, 3, ".gz") != 0;
            }
            ::closedir(d);
        }
        if (!plain) break;
        if (std::chrono::steady_clock::now() > until) {
            ADD_FAILURE() << "backups under " << logs << " still not compressed";
            return {};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::sort(names.begin(), names.end());
    std::vector<std::pair<std::string, std::string>> out;
    for (const std::string& n : names) {
        FILE* p = ::popen(("gzip -dc '" + logs + "/" + n + "'").c_str(), "r");
        std::string text;
        char buf[65536];
        for (std::size_t r; (r = std::fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, r);
        EXPECT_EQ(::pclose(p), 0) << n;
        out.emplace_back(logs + "/" + n, text);
    }
    return out;
}

// Every backup, then the live file; none longer than `most` (a file rotates at the line
// that reaches the limit).
std::string AllLogged(const std::string& dir, const std::string& live, std::size_t most = SIZE_MAX) {
    std::string all;
    for (const auto& b : Backups(dir + "/var/logs")) {
        EXPECT_LE(b.second.size(), most) << b.first;
        all += b.second;
    }
    const std::string last = testutil::ReadFile(dir + "/" + live);
    EXPECT_LE(last.size(), most) << live;
    return all + last;
}

TEST_F(LogTest, RotationIntoLogsBesideTheFile) {
    vux_log::SetCompressDelay(0);
    Conf("etc/debug.conf", "* 9\nSET color=off\nSET max_log_size=1000\n");
    vux_log::Init("rot", 3);
    Module m("rot");
    for (int i = 0; i < 3000; ++i) m.Write(5, "line %04d of the rotation test", i);
    vux_log::Close();
    const std::vector<std::string> lines = SplitLines(Log("rot"));
    ASSERT_FALSE(lines.empty());
    const std::string& first = lines[0];
    EXPECT_TRUE(Like(first, "Rotated. Previous file is var/logs/rot.log.####_##_##_##_##_##.#*")) << first;
    // Below the minimum the limit is the minimum.
    const std::string all = AllLogged(dir_.path(), "var/rot.log", 102400 + 200);
    for (int i = 0; i < 3000; ++i) {
        char text[64];
        std::snprintf(text, sizeof text, "rot INFO line %04d of the rotation test\n", i);
        ASSERT_EQ(Count(all, text), 1u) << text;
    }

    // Another log file of the panel, numbered from 0 within the second.
    testutil::WriteFile(dir_ / "var/other.log", "one\ntwo\n");
    const std::string b0 = vux_log::Rotate("var/other.log");
    testutil::WriteFile(dir_ / "var/other.log", "three\n");
    const std::string b1 = vux_log::Rotate("var/other.log");
    EXPECT_EQ(b0.substr(0, 20), "var/logs/other.log.2");
    EXPECT_EQ(b0.back(), '0');
    if (b1.substr(0, b1.size() - 1) == b0.substr(0, b0.size() - 1)) {
        EXPECT_EQ(b1.back(), '1');
    }
    EXPECT_EQ(testutil::ReadFile(dir_ / "var/other.log"), "");
    Backups(dir_ / "var/logs");

    // Rotation failures are swallowed; lines keep coming.
    ::rename((dir_ / "var/logs").c_str(), (dir_ / "var/logs.old").c_str());
    testutil::WriteFile(dir_ / "var/logs", "not a folder");
    EXPECT_THROW(vux_log::Rotate("var/other.log"), std::runtime_error);
    vux_log::Init("rot", 3);
    for (int i = 0; i < 3000; ++i) m.Write(5, "still %d", i);
    vux_log::Close();
    EXPECT_NE(Log("rot").find("rot INFO still 2999\n"), std::string::npos);
}

// Splits "time [id] module LABEL message" and checks its shape.
bool ParseLogLine(const std::string& l, std::string& module, std::string& message) {
    if (l.size() < 17 || l[3] != ' ' || l[6] != ' ' || l[9] != ':' || l[12] != ':' || l[15] != ' ' || l[16] != '[')
        return false;
    const std::size_t close = l.find("] ", 17);
    if (close == std::string::npos) return false;
    const std::size_t m = close + 2, sp = l.find(' ', m);
    if (sp == std::string::npos) return false;
    module = l.substr(m, sp - m);
    const std::size_t lp = l.find(' ', sp + 1);
    if (lp == std::string::npos) return false;
    message = l.substr(lp + 1);
    return true;
}

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
const int kLines = 20000;  // sanitizers run the same paths many times slower
#else
const int kLines = 100000;
#endif
const int kThreads = 8, kProcesses = 4;
const std::string kPayload = "|0123456789abcdefghijklmnopqrstuvwxyz|";

void WriteLines(int writer) {
    Module m("crowd");
    for (int i = 0; i < kLines; ++i)
        if (m.Check(5)) m.Write(5, "w%02d %06d %s", writer, i, kPayload.c_str());
}

// 8 threads and 4 processes write into one log that rotates meanwhile: two processes open it
// themselves, two go on with their parent's (where they must not share its open file, as
// the flock would not keep them apart during a rotation, nor wait for a writer thread that
// stayed in the parent). Every line must come out once and whole.
void Crowd(const std::string& dir, const std::string& storage) {
    vux_log::SetCompressDelay(0);
    testutil::WriteFile(dir + "/etc/debug.conf",
                        "* 3\ncrowd 5\nSET color=off\nSET max_log_size=4000000\nSET storage=" + storage + "\n");
    std::vector<pid_t> children;
    auto spawn = [&](int p, bool own) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            if (own) vux_log::Init("crowd", 3);
            WriteLines(kThreads + p);
            vux_log::Close();
            ::_exit(0);
        }
        children.push_back(pid);
    };
    spawn(0, true);
    spawn(1, true);
    vux_log::Init("crowd", 3);
    spawn(2, false);
    spawn(3, false);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(WriteLines, t);
    for (auto& t : threads) t.join();
    for (pid_t pid : children) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    vux_log::Close();

    auto files = Backups(dir + "/var/logs");
    files.emplace_back("var/crowd.log", testutil::ReadFile(dir + "/var/crowd.log"));
    EXPECT_GE(files.size(), 5u) << "the log rotated";
    std::vector<std::vector<unsigned char>> seen(kThreads + kProcesses, std::vector<unsigned char>(kLines));
    std::size_t bad = 0, total = 0;
    for (const auto& f : files) {
        EXPECT_TRUE(f.second.empty() || f.second.back() == '\n') << f.first;
        for (const std::string& line : SplitLines(f.second)) {
            if (line.rfind("Rotated. Previous file is ", 0) == 0) continue;
            std::string module, message;
            int w = -1, i = -1;
            char payload[64] = {};
            if (!ParseLogLine(line, module, message) ||
                (module == "crowd" &&
                 (std::sscanf(message.c_str(), "w%d %d %63s", &w, &i, payload) != 3 || kPayload != payload || w < 0 ||
                  w >= kThreads + kProcesses || i < 0 || i >= kLines))) {
                if (++bad < 5) ADD_FAILURE() << f.first << ": torn line '" << line << "'";
                continue;
            }
            if (module != "crowd") continue;
            ++seen[w][i];
            ++total;
        }
    }
    EXPECT_EQ(bad, 0u);
    std::size_t wrong = 0;
    for (int w = 0; w < kThreads + kProcesses; ++w)
        for (int i = 0; i < kLines; ++i)
            if (seen[w][i] != 1 && ++wrong < 5)
                ADD_FAILURE() << "line w" << w << " " << i << " seen " << int(seen[w][i]);
    EXPECT_EQ(total, std::size_t(kThreads + kProcesses) * kLines);
}

TEST_F(LogTest, ThreadsAndProcessesShareOneRotatingFile) { Crowd(dir_.path(), "file"); }

TEST_F(LogTest, ThreadsAndProcessesShareOneRotatingThreadStorage) { Crowd(dir_.path(), "thread"); }

// Waits up to `seconds` for a child; one still running then is killed and
// reported as hung.
bool WaitBounded(pid_t pid, int seconds, int& status) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return true;
        if (r < 0) return false;
        if (std::chrono::steady_clock::now() > until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// A forked child that writes alone into the "thread" storage rotates at the configured
// limit, not at the default one.
TEST_F(LogTest, ForkedChildKeepsTheLimitOfTheThreadStorage) {
    vux_log::SetCompressDelay(0);
    Conf("etc/debug.conf", "* 9\nSET color=off\nSET storage=thread\nSET max_log_size=1000\n");
    vux_log::Init("limit", 3);
    Module m("limit");
    const int n = 5000;
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        for (int i = 0; i < n; ++i) m.Write(5, "child line %04d of the limit test", i);
        vux_log::Close();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_TRUE(WaitBounded(pid, 60, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    vux_log::Close();
    EXPECT_GE(Backups(dir_ / "var/logs").size(), 2u) << "the child's lines alone pass the limit several times";
    const std::string all = AllLogged(dir_.path(), "var/limit.log", 102400 + 200);
    for (int i = 0; i < n; i += 499) {
        char text[64];
        std::snprintf(text, sizeof text, "limit INFO child line %04d of the limit test\n", i);
        EXPECT_EQ(Count(all, text), 1u) << text;
    }
}

// Another thread is in the middle of a line (or of a rotation) whenever the
// main thread forks: each child must still find the log free and write its line.
void ForkWhileAnotherThreadLogs(const std::string& dir, const std::string& storage) {
    testutil::WriteFile(dir + "/etc/debug.conf",
                        "* 9\nSET color=off\nSET max_log_size=4000000\nSET storage=" + storage + "\n");
    const bool console = storage == "console";
    std::unique_ptr<StderrTo> err(console ? new StderrTo(dir + "/stderr") : nullptr);
    vux_log::Init("atfork", 3);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        Module m("busy");
        // Pauses let the children's lines through the file lock.
        while (!stop.load()) {
            for (int i = 0; i < 50; ++i) m.Write(5, "%s", kPayload.c_str());
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    Module m("atfork");
    int forked = 0, hung = 0, failed = 0;
    for (; forked < 60 && hung == 0; ++forked) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            m.Write(5, "child %d", forked);
            vux_log::Close();
            ::_exit(0);
        }
        int status = 0;
        if (!WaitBounded(pid, 10, status))
            ++hung;
        else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            ++failed;
    }
    stop = true;
    busy.join();
    vux_log::Close();
    err.reset();
    EXPECT_EQ(hung, 0) << storage << ": a child hung at its first line after " << forked << " forks";
    EXPECT_EQ(failed, 0) << storage;
    const std::string all = AllLogged(dir, console ? "stderr" : "var/atfork.log");
    for (int i = 0; i < forked - hung; ++i)
        EXPECT_EQ(Count(all, "atfork INFO child " + std::to_string(i) + "\n"), 1u) << storage << " child " << i;
}

TEST_F(LogTest, ChildForkedWhileAnotherThreadLogsCanLog) {
    vux_log::SetCompressDelay(0);
    for (const char* storage : {"file", "thread", "console"}) {
        std::system(("rm -rf '" + (dir_ / "var") + "'").c_str());
        ForkWhileAnotherThreadLogs(dir_.path(), storage);
    }
}

}  // namespace
