// Processes: running programs, process lists, kills, pipes, pid locks.
#ifndef LIBVUX_VUXPROC_H
#define LIBVUX_VUXPROC_H

#include <libvux/vuxapi.h>

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <libvux/vuxdate.h>
#include <libvux/vuxfile.h>
#include <libvux/vuxstream.h>
#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace vux_proc {

typedef std::int32_t Pid_t;

// One child process; copies share it. Configure, start (Run, In, Out, Err,
// Result or Str), then wait (Result, Str or the last handle's destructor).
class Execute {
public:
    enum Flags {
        PipeIn = 0x001,
        PipeOut = 0x002,
        PipeErr = 0x004,
        InRedirected = 0x010,
        OutRedirected = 0x020,
        ErrRedirected = 0x040,
        MergeErr = 0x080,
        KeepLdLibraryPath = 0x100,
        CleanEnv = 0x200,
        KeepFiles = 0x400,
    };

    // A dummy: it may only be assigned to.
    Execute() {}
    Execute(const std::vector<std::string>& args, int flags);
    // Runs "/bin/sh -c command".
    Execute(const std::string& command, int flags);
    // A NUL-terminated argv; null gives no arguments.
    Execute(const char** argv, int flags);

    Execute& SetEnv(const std::string& name, const std::string& value);
    // The child gets only these variables (and PATH).
    Execute& SetEnv(const StringMap& env);
    Execute& SetDir(const std::string& dir);
    Execute& SetUser(const std::string& user);
    // -20 to 19; anything else leaves the priority alone.
    Execute& SetPriority(int nice);
    // Counts from this call.
    Execute& SetTimeout(int seconds);
    // An empty handle means "/dev/null".
    Execute& RedirectInTo(const ResHandle& h);
    Execute& RedirectOutTo(const ResHandle& h);
    Execute& RedirectErrTo(const ResHandle& h);

    Execute& Run();
    std::ostream& In();
    std::istream& Out();
    std::istream& Err();
    Execute& CloseIn();
    Execute& CloseOut();
    Execute& CloseErr();

    Pid_t Pid() const;
    bool IsAlive() const;
    // Exit code 0-255, or -1 when a signal ended the child.
    int Result();
    // Everything the child wrote to its piped stdout, then its piped stderr.
    std::string Str();
    // Kills the child with its process group (or, when it shares the
    // caller's terminal and group, its descendants) and waits; 0 when it
    // was not running.
    int Terminate();

    class VUX_INTERNAL Data;

private:
    Data& Need(const char* func) const;
    std::shared_ptr<Data> data_;
};

Pid_t Id();
// Reports the thread state "sleep" (an abort point), then sleeps.
void Sleep(unsigned long ms);
// A zombie counts as gone.
bool Exists(const Pid_t& pid);
// SIGTERM, up to `timeout` seconds for the process to go, then SIGKILL.
void Kill(const Pid_t& pid, int timeout);
bool Exists(const std::string& name);
// Kills every process of that name; returns how many there were.
int Kill(const std::string& name);
// Pids of the processes named so; only the first unless `all`.
bool List(const std::string& name, std::vector<int>& pids, bool all);
// Closes every descriptor of the process that is not in `keep`.
void CloseFiles(const std::set<int>& keep);
// Backslash-escapes what the shell would interpret.
std::string Escape(const std::string& s);
std::string DecorateEnvParam(const std::string& name);
std::string ToString(const Pid_t& pid);
Pid_t FromString(const std::string& s);
// Read once per process.
vux_date::DateTime GetBootTime();
void Reboot();

class Pipe {
public:
    Pipe();
    // Non-zero flags are added to the side's file-status flags.
    ResHandle& read_side(int flags = 0);
    ResHandle& write_side(int flags = 0);
    // The same, handing over the pipe's own share of that side.
    ResHandle move_read_side(int flags = 0);
    ResHandle move_write_side(int flags = 0);

private:
    ResHandle read_;
    ResHandle write_;
};

// One process per name: var/<name>.pid, locked and holding the pid.
class SingleInstance {
public:
    explicit SingleInstance(const std::string& name);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    static std::string PidFile(const std::string& name);

private:
    std::string pidfile_;
    vux_file::Lock lock_;
};

}  // namespace vux_proc

VUX_API_END

#endif
