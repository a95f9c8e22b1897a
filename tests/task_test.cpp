// Long tasks against the real runner (and, where its arguments matter, a stand-in that
// records them), in a scratch installation directory.
#include <libvux/vuxtask.h>

#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

#include <gtest/gtest.h>

#include <libvux/vuxenv.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxjob.h>
#include <libvux/vuxstr.h>

#include "test_util.h"

namespace {

using testutil::ReadFile;
using testutil::WriteFile;
typedef std::map<std::string, std::string> Info;

// An installation directory with the runner in sbin/.
class TaskRun : public ::testing::Test {
protected:
    TaskRun() : cd_(dir_.path()) {
        vux_file::MkDir("sbin");
        vux_file::MkDir("tmp");
        vux_file::MkLink(VUX_LT_WRAPPER, "sbin/lt_wrapper");
    }

    // A runner that only records its arguments, environment and content file.
    void RecordingRunner() {
        ::unlink("sbin/lt_wrapper");
        WriteFile("sbin/lt_wrapper",
                  "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.tmp; env > env.tmp\n"
                  "[ -n \"$3\" ] && cp \"$3\" content.tmp\nmv env.tmp env; mv args.tmp args\n");
        ::chmod("sbin/lt_wrapper", 0755);
    }

    static vux_task::LongTask Shell(const std::string& id, const std::string& queue, const std::string& script) {
        vux_task::LongTask t("/bin/sh", id, queue);
        t.SetParam("-c").SetParam(script);
        return t;
    }

    testutil::TempDir dir_;
    testutil::ChDir cd_;
};

bool WaitUntil(const std::function<bool()>& done, int seconds = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// Waits for the task to reach `status` and gives its info. A missing description reads as
// "OK" too, so an end is only taken from the runner's own record of it.
Info WaitStatus(const std::string& id, const std::string& queue, const std::string& status,
                const std::string& name = "/bin/sh") {
    Info info;
    const bool end = status == "OK" || status == "ERR";
    WaitUntil([&] {
        if (!vux_file::Exists(vux_task::TaskInfoFile(name, id, queue))) return false;
        info = vux_task::GetInfo(name, id, queue);
        return info["status"] == status && (!end || info.count("enddate"));
    });
    return info;
}

// IsRuning and the status as another process sees them.
std::string Probe(const std::string& id, const std::string& queue) {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    pid_t pid = ::fork();
    if (pid == 0) {
        std::string r = std::string(vux_task::IsRuning("/bin/sh", id, queue) ? "running " : "idle ") +
                        vux_task::GetInfo("/bin/sh", id, queue)["status"];
        ::write(fds[1], r.data(), r.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string r = testutil::ReadToEnd(fds[0]);
    ::close(fds[0]);
    ::waitpid(pid, nullptr, 0);
    return r;
}

std::set<pid_t> Children() {
    std::set<pid_t> out;
    vux_file::Dir proc("/proc");
    while (proc.Read()) {
        std::string stat = vux_file::ReadE("/proc/" + proc.name() + "/stat");
        std::size_t close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::vector<std::string> f;
        str::Split(stat.substr(close + 2), " ", f);
        if (f.size() > 1 && std::stoi(f[1]) == ::getpid()) out.insert(std::stoi(proc.name()));
    }
    return out;
}

bool Alive(pid_t pid) {
    std::string stat = vux_file::ReadE("/proc/" + std::to_string(pid) + "/stat");
    return !stat.empty() && stat.find(") Z") == std::string::npos;
}

TEST(TaskText, DescriptionPaths) {
    const std::vector<std::vector<std::string>> cases = {
        {"backup", "7", "q", "var/run/q/backup.7"},
        {"/usr/bin/install.sh", "", "pkg", "var/run/pkg/install"},
        {"sbin/a.b.c", "x.y", "q", "var/run/q/a.x.y"},
    };
    for (const auto& c : cases) EXPECT_EQ(vux_task::TaskInfoFile(c[0], c[1], c[2]), c[3]) << c[0];
}

TEST(TaskText, ContentInOrder) {
    vux_env::DropEnv("VUX_NAME");
    vux_task::LongTask bare("job", "1", "q");
    std::vector<std::string> lines;
    str::Split(bare.GetContent(), "\n", lines);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "status=PRE");
    EXPECT_TRUE(str::StartsWith(lines[1], "created=")) << lines[1];
    EXPECT_EQ(lines[2], "realname=job");

    vux_env::SetEnv("VUX_NAME", "mgr");
    vux_task::LongTask full("job", "1", "q");
    full.SetDepend("b.1").SetDepend("a.1").SetDepend("b.1").SetParams({"x", "y"}).SetParam("z");
    full.SetEnv("K", "v").SetEnv("A", "1=2");
    std::string content = full.GetContent();
    vux_env::DropEnv("VUX_NAME");
    EXPECT_EQ(content.substr(content.find("\nrealname")),
              "\nrealname=job\nmanager=mgr\ndepend=a.1\ndepend=b.1\n[params]\nx\ny\nz\n[environment]\nA=1=2\nK=v");
}

TEST(TaskText, ModesAreChecked) {
    vux_task::LongTask t("job", "1", "q");
    EXPECT_EQ(testutil::AssertText([&] { t.Start(2); }), "Unknown Longtask mode");
    EXPECT_EQ(testutil::AssertText([&] { t.Start(8); }), "Unknown Longtask startup mode");
    EXPECT_EQ(testutil::AssertText([&] { t.Start(1 | 16); }), "Unknown Longtask startup mode");
}

TEST_F(TaskRun, ItemsThatWouldBreakTheDescription) {
    RecordingRunner();
    const std::vector<std::function<void(vux_task::LongTask&)>> cases = {
        [](vux_task::LongTask& t) { t.SetParam("a\nstatus=OK"); },
        [](vux_task::LongTask& t) { t.SetParam("[result]"); },
        [](vux_task::LongTask& t) { t.SetEnv("K", "v\n[params]"); },
        [](vux_task::LongTask& t) { t.SetDepend("x\ny"); },
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        vux_task::LongTask t("job", "1", "q");
        cases[i](t);
        EXPECT_EQ(testutil::ErrorKindOf([&] { t.Start(8 | 2); }), "value/longtask") << i;
        EXPECT_EQ(testutil::ErrorKindOf([&] { t.Start(1 | 2); }), "value/longtask") << i;
    }
    vux_job::Commit();
    vux_task::LongTask bad("job\nstatus=OK", "1", "q");
    EXPECT_EQ(testutil::ErrorKindOf([&] { bad.Start(8 | 2); }), "value/longtask");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(vux_file::Exists("args")) << "the runner was started";
}

TEST_F(TaskRun, LauncherArgumentsAndEnvironment) {
    RecordingRunner();
    ::setenv("VUX_LT_PID", "1234", 1);
    struct Case {
        int mode;
        const char* option;
    } cases[] = {{8 | 4, "--restart"}, {8 | 2, "--reenter"}};
    for (const Case& c : cases) {
        ::unlink("args");
        vux_task::LongTask t("job", "1", "q");
        t.SetParam("p");
        t.Start(c.mode);
        ASSERT_TRUE(WaitUntil([] { return vux_file::Exists("args"); }));
        std::vector<std::string> args;
        str::Split(ReadFile("args"), "\n", args);
        ASSERT_EQ(args.size(), 3u);
        EXPECT_EQ(args[0], "var/run/q/job.1");
        EXPECT_EQ(args[1], c.option);
        EXPECT_TRUE(str::StartsWith(args[2], "tmp/longtask.")) << args[2];
        std::string content = ReadFile("content.tmp");
        EXPECT_EQ(content.substr(content.find("\nrealname")), "\nrealname=job\n[params]\np");
        std::vector<std::string> env;
        str::Split(ReadFile("env"), "\n", env);
        EXPECT_EQ(std::count_if(env.begin(), env.end(), [](const std::string& e) { return e.find("VUX_LT_PID") == 0; }), 1);
        EXPECT_NE(std::find(env.begin(), env.end(), "VUX_LT_PID=dummy"), env.end());
    }
    ::unsetenv("VUX_LT_PID");
}

TEST_F(TaskRun, RunsAndRecordsResult) {
    struct Case {
        const char* script;
        const char* status;
        const char* code;
        const char* result;
    } cases[] = {
        {"echo out; echo \"$K\" >&2", "OK", "0", "out\nvalue"},
        {"echo failing; exit 3", "ERR", "3", "failing"},
    };
    int id = 0;
    for (const Case& c : cases) {
        const std::string sid = std::to_string(++id);
        vux_task::LongTask t = Shell(sid, "r", c.script);
        t.SetEnv("K", "value");
        t.Start(8 | 2);
        Info info = WaitStatus(sid, "r", c.status);
        EXPECT_EQ(info["status"], c.status) << c.script;
        EXPECT_EQ(info["exitcode"], c.code);
        EXPECT_EQ(info["result"], c.result);
        EXPECT_EQ(info["realname"], "/bin/sh");
        EXPECT_FALSE(info["startdate"].empty());
        EXPECT_EQ(info.count("depend"), 0u);
        EXPECT_FALSE(vux_task::IsRuning("/bin/sh", sid, "r"));
    }
    EXPECT_EQ(ReadFile("var/run/r/.state"), "");
    vux_file::Dir tmp("tmp");
    EXPECT_FALSE(tmp.Read()) << "content file left behind: " << tmp.name();
}

TEST_F(TaskRun, JobsDecideTheStart) {
    // Rolled back: never runs, and the queued description goes.
    {
        vux_task::LongTask t = Shell("1", "j", "echo x >> runs");
        ASSERT_TRUE(t.Lock());
        t.Start(1 | 2);
        EXPECT_TRUE(vux_file::Exists("var/run/j/sh.1"));
        vux_job::Rollback();
    }
    EXPECT_FALSE(vux_file::Exists("var/run/j/sh.1"));
    {
        vux_task::LongTask t = Shell("2", "j", "echo x >> runs");
        t.Start(1 | 2);
        vux_job::Rollback();
    }
    // Committed: runs exactly once, with or without a queued description.
    {
        vux_task::LongTask t = Shell("3", "j", "echo 3 >> runs");
        ASSERT_TRUE(t.Lock());
        EXPECT_FALSE(Shell("3", "j", "").Lock()) << "queued twice";
        t.Start(1 | 2);
        vux_job::Commit();
    }
    {
        vux_task::LongTask t = Shell("4", "j", "echo 4 >> runs");
        t.Start(1 | 2);
        vux_job::Commit();
        vux_job::Commit();
    }
    EXPECT_EQ(WaitStatus("3", "j", "OK")["status"], "OK");
    EXPECT_EQ(WaitStatus("4", "j", "OK")["status"], "OK");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::vector<std::string> runs;
    str::Split(ReadFile("runs"), "\n", runs);
    std::sort(runs.begin(), runs.end());
    EXPECT_EQ(runs, (std::vector<std::string>{"3", "4"}));
    EXPECT_FALSE(vux_file::Exists("var/run/j/sh.1"));
    EXPECT_FALSE(vux_file::Exists("var/run/j/sh.2"));
}

TEST_F(TaskRun, DependenciesRunInOrder) {
    {
        vux_task::LongTask first = Shell("a", "d", "sleep 0.5; echo first >> order");
        ASSERT_TRUE(first.Lock());
        vux_task::LongTask second = Shell("b", "d", "echo second >> order");
        second.SetDepend("sh.a");
        second.Start(8 | 2);
        EXPECT_TRUE(WaitUntil([] { return vux_task::GetInfo("/bin/sh", "b", "d")["status"] == "PRE"; }));
        first.Start(8 | 2);
        // The runner takes the description once this handle lets it go.
    }
    EXPECT_EQ(WaitStatus("b", "d", "OK")["status"], "OK");
    EXPECT_EQ(ReadFile("order"), "first\nsecond\n");
}

TEST_F(TaskRun, KillWhileWaitingForADependency) {
    vux_task::LongTask first = Shell("a", "w", "echo first >> order");
    ASSERT_TRUE(first.Lock());
    vux_task::LongTask second = Shell("b", "w", "echo second >> order");
    second.SetDepend("sh.a");
    second.Start(8 | 2);
    ASSERT_TRUE(WaitUntil([] { return !vux_task::GetInfo("/bin/sh", "b", "w")["pid"].empty(); }));
    EXPECT_TRUE(vux_task::IsRuning("/bin/sh", "b", "w"));
    vux_task::Kill("/bin/sh", "b", "w", 5);
    Info info = WaitStatus("b", "w", "ERR");
    EXPECT_EQ(info["status"], "ERR");
    EXPECT_EQ(info["signal"], "15");
    EXPECT_FALSE(vux_task::IsRuning("/bin/sh", "b", "w"));
    first.Start(8 | 2);
    first = vux_task::LongTask();
    WaitStatus("a", "w", "OK");
    EXPECT_EQ(ReadFile("order"), "first\n");
}

TEST_F(TaskRun, StatesSeenFromAnotherProcess) {
    EXPECT_EQ(Probe("1", "s"), "idle OK");
    {
        vux_task::LongTask queued = Shell("1", "s", "true");
        ASSERT_TRUE(queued.Lock());
        EXPECT_EQ(Probe("1", "s"), "running PRE");
    }
    // Queued and left by its holder: still queued.
    EXPECT_EQ(Probe("1", "s"), "running PRE");
    Shell("2", "s", "sleep 30").Start(8 | 2);
    ASSERT_EQ(WaitStatus("2", "s", "RUN")["status"], "RUN");
    EXPECT_EQ(Probe("2", "s"), "running RUN");
    Shell("3", "s", "true").Start(8 | 2);
    Shell("4", "s", "false").Start(8 | 2);
    WaitStatus("3", "s", "OK");
    WaitStatus("4", "s", "ERR");
    EXPECT_EQ(Probe("3", "s"), "idle OK");
    EXPECT_EQ(Probe("4", "s"), "idle ERR");
    vux_task::Kill("/bin/sh", "2", "s", 1);
}

TEST_F(TaskRun, KillEndsAStubbornTask) {
    Shell("1", "k", "trap '' TERM; echo ready; exec sleep 60").Start(8 | 2);
    Info info = WaitStatus("1", "k", "RUN");
    ASSERT_EQ(info["status"], "RUN");
    const pid_t pid = std::stoi(info["pid"]);
    ASSERT_TRUE(WaitUntil([&] { return ReadFile("/proc/" + std::to_string(pid) + "/cmdline").find("sleep") == 0; }));
    const auto start = std::chrono::steady_clock::now();
    vux_task::Kill("/bin/sh", "1", "k", 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_TRUE(WaitUntil([&] { return !Alive(pid); }, 1));
    info = WaitStatus("1", "k", "ERR");
    EXPECT_EQ(info["status"], "ERR");
    EXPECT_EQ(info["signal"], "9");
    EXPECT_EQ(info["result"], "ready");
    EXPECT_FALSE(vux_task::IsRuning("/bin/sh", "1", "k"));

    // A queued task nobody holds is marked failed and never starts.
    { ASSERT_TRUE(Shell("2", "k", "echo ran > ran").Lock()); }
    vux_task::Kill("/bin/sh", "2", "k", 1);
    EXPECT_EQ(vux_task::GetInfo("/bin/sh", "2", "k")["status"], "ERR");
    EXPECT_FALSE(vux_task::IsRuning("/bin/sh", "2", "k"));
    std::string content = ReadFile("var/run/k/sh.2");
    EXPECT_EQ(content.substr(content.find("\nrealname")), "\nrealname=/bin/sh\nstatus=ERR\n[params]\n-c\necho ran > ran\n");
    // Nothing to kill: no queue, no task.
    vux_task::Kill("/bin/sh", "1", "none", 1);
    vux_task::Kill("/bin/sh", "9", "k", 1);
    EXPECT_FALSE(vux_file::Exists("var/run/none"));
    EXPECT_FALSE(vux_file::Exists("var/run/k/sh.9"));
}

TEST_F(TaskRun, KillIgnoresABadPid) {
    vux_file::MkDir("var/run/b");
    for (const char* pid : {"0", "1", "-1", "99999999999", "12x"}) {
        int fd = ::open("var/run/b/sh.1", O_RDWR | O_CREAT | O_TRUNC, 0640);
        ASSERT_GE(fd, 0);
        const std::string content = std::string("status=RUN\npid=") + pid + "\n";
        ASSERT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
        ASSERT_EQ(::flock(fd, LOCK_EX), 0);
        vux_task::Kill("/bin/sh", "1", "b", 1);
        ::close(fd);
        EXPECT_EQ(ReadFile("var/run/b/sh.1"), content) << pid;
    }
}

TEST_F(TaskRun, NoZombiesAfterManyStarts) {
    const std::set<pid_t> before = Children();
    for (int i = 0; i < 100; ++i) Shell(std::to_string(i), "z", "true").Start(8 | 2);
    EXPECT_EQ(Children(), before);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(WaitStatus(std::to_string(i), "z", "OK")["status"], "OK") << i;
    EXPECT_EQ(Children(), before);
}

TEST_F(TaskRun, EmulatedTaskWaitsForTheQueue) {
    Shell("1", "e", "sleep 1; echo first >> order").Start(8 | 2);
    ASSERT_EQ(WaitStatus("1", "e", "RUN")["status"], "RUN");
    vux_env::SetEnv("VUX_NAME", "outer");
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(VUX_TASK_EMULEE, VUX_TASK_EMULEE, "second", "order", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    vux_env::DropEnv("VUX_NAME");
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadFile("order"), "first\nsecond\n");
    Info info = vux_task::GetInfo(VUX_TASK_EMULEE, "1", "e");
    EXPECT_EQ(info["status"], "OK");
    EXPECT_EQ(info["manager"], "tester");
    EXPECT_EQ(info["realname"], VUX_TASK_EMULEE);
    EXPECT_EQ(info["result"], "emulated second");
    EXPECT_EQ(ReadFile("var/run/e/.state"), "");
    std::string content = ReadFile("var/run/e/task_emulee.1");
    EXPECT_NE(content.find("\n[params]\nsecond\norder\n"), std::string::npos) << content;
}

TEST_F(TaskRun, EmulatedTaskUnderTheRunnerOnlyDropsItsMark) {
    ::setenv("VUX_LT_PID", "4321", 1);
    char name[] = "emulee";
    char* argv[] = {name, nullptr};
    vux_task::Emulate(1, argv, "1", "e", "");
    EXPECT_EQ(::getenv("VUX_LT_PID"), nullptr);
    EXPECT_FALSE(vux_file::Exists("var/run/e"));
}

TEST_F(TaskRun, EmulatedTaskAlreadyHeld) {
    vux_task::LongTask held(VUX_TASK_EMULEE, "1", "e");
    ASSERT_TRUE(held.Lock());
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(VUX_TASK_EMULEE, VUX_TASK_EMULEE, "x", "order", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_FALSE(vux_file::Exists("order"));
}

TEST_F(TaskRun, RunnerKilledMidTask) {
    Shell("1", "c", "echo started >> runs; sleep 60").Start(8 | 2);
    Info info = WaitStatus("1", "c", "RUN");
    ASSERT_EQ(info["status"], "RUN");
    const pid_t task = std::stoi(info["pid"]);
    // RUN is recorded before the shell runs its first command; kill only once it has.
    ASSERT_TRUE(WaitUntil([&] { return vux_file::Exists("runs") && ReadFile("runs") == "started\n"; }));
    std::string stat = ReadFile("/proc/" + std::to_string(task) + "/stat");
    std::vector<std::string> f;
    str::Split(stat.substr(stat.rfind(')') + 2), " ", f);
    const pid_t runner = std::stoi(f[1]);
    ASSERT_NE(ReadFile("/proc/" + std::to_string(runner) + "/cmdline").find("lt_wrapper"), std::string::npos);
    ASSERT_EQ(::kill(runner, SIGKILL), 0);
    ASSERT_TRUE(WaitUntil([&] { return !Alive(runner) && !Alive(task); }));

    // Nobody holds it now: not running, and its last state is still there to act on.
    EXPECT_FALSE(vux_task::IsRuning("/bin/sh", "1", "c"));
    EXPECT_EQ(vux_task::GetInfo("/bin/sh", "1", "c")["status"], "RUN");
    vux_task::Kill("/bin/sh", "1", "c", 1);
    EXPECT_EQ(vux_task::GetInfo("/bin/sh", "1", "c")["status"], "ERR");

    Shell("1", "c", "echo again >> runs").Start(8 | 4);
    info = WaitStatus("1", "c", "OK");
    EXPECT_EQ(info["status"], "OK");
    EXPECT_EQ(info["result"], "");
    EXPECT_EQ(ReadFile("runs"), "started\nagain\n");
    EXPECT_EQ(ReadFile("var/run/c/.state"), "");
}

TEST_F(TaskRun, Tool) {
    const std::string vux = std::string("'") + VUX_TOOL + "' task ";
    int code = -1;
    EXPECT_EQ(testutil::ShellOutput(vux + "start q 7 -- /bin/sh -c 'echo hi; sleep 30'", &code), "var/run/q/sh.7\n");
    EXPECT_EQ(code, 0);
    ASSERT_EQ(WaitStatus("7", "q", "RUN")["status"], "RUN");
    EXPECT_EQ(testutil::ShellOutput(vux + "list q", &code), "sh.7\tRUN\trunning\n");
    EXPECT_EQ(testutil::ShellOutput(vux + "kill q /bin/sh 7 1", &code), "");
    EXPECT_EQ(WaitStatus("7", "q", "ERR")["status"], "ERR");
    std::string info = testutil::ShellOutput(vux + "info q sh 7", &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(info.find("\nsignal=15\n"), std::string::npos) << info;
    EXPECT_NE(info.find("\nstatus=ERR\n[result]\nhi\n"), std::string::npos) << info;
    testutil::ShellOutput(vux + "start q", &code);
    EXPECT_EQ(code, 2);
    testutil::ShellOutput(vux + "list --bogus q", &code);
    EXPECT_EQ(code, 2);
    EXPECT_NE(testutil::ShellOutput(vux + "--help", &code).find("task start QUEUE ID -- COMMAND"), std::string::npos);
    EXPECT_EQ(code, 0);
}

// Every description is whole, finished, and free; the queue's state names no task.
void ExpectQueueSettled(const std::string& queue, int tasks) {
    for (int i = 0; i < tasks; ++i) {
        const std::string id = std::to_string(i);
        Info info = WaitStatus(id, queue, "OK");
        EXPECT_EQ(info["status"], "OK") << id;
        EXPECT_EQ(info["result"], "task " + id);
        EXPECT_EQ(info["exitcode"], "0");
        vux_file::Lock lock;
        EXPECT_TRUE(lock.TryLock("var/run/" + queue + "/sh." + id, true)) << id;
    }
    vux_file::Lock state;
    EXPECT_TRUE(state.TryLock("var/run/" + queue + "/.state", true));
    EXPECT_EQ(ReadFile("var/run/" + queue + "/.state"), "");
}

TEST_F(TaskRun, ManyProcessesOnOneQueue) {
    const int n = 20;
    std::vector<pid_t> pids;
    for (int i = 0; i < n; ++i) {
        pid_t pid = ::fork();
        if (pid == 0) {
            const std::string id = std::to_string(i);
            Shell(id, "m", "echo task " + id).Start(8 | 2);
            for (int j = 0; j < n; ++j) {
                vux_task::IsRuning("/bin/sh", std::to_string(j), "m");
                vux_task::GetInfo("/bin/sh", std::to_string(j), "m");
            }
            ::_exit(0);
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_EQ(status, 0);
    }
    ExpectQueueSettled("m", n);
}

TEST_F(TaskRun, ManyThreadsOnOneQueue) {
    const int n = 8;
    std::vector<std::thread> threads;
    for (int i = 0; i < n; ++i)
        threads.emplace_back([i] {
            const std::string id = std::to_string(i);
            vux_task::LongTask t = Shell(id, "t", "echo task " + id);
            if (i % 2) {
                t.Start(1 | 2);
                vux_job::Commit();
            } else {
                t.Start(8 | 2);
            }
            for (int j = 0; j < n; ++j) {
                vux_task::IsRuning("/bin/sh", std::to_string(j), "t");
                vux_task::GetInfo("/bin/sh", std::to_string(j), "t");
            }
        });
    for (std::thread& t : threads) t.join();
    ExpectQueueSettled("t", n);
}

}  // namespace
