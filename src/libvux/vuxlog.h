// Rule-driven logging: modules, levels, lines, storages and rotation.
#ifndef LIBVUX_VUXLOG_H
#define LIBVUX_VUXLOG_H

#include <libvux/vuxapi.h>

#include <atomic>
#include <climits>
#include <memory>
#include <string>

#include <libvux/vuxtypes.h>

namespace VUX_API vux_thread {
void SetStateC(const char* text);
}

namespace VUX_API vux_log {

// A message is written when its level is at or below the level its rule grants.
typedef int Level;

const Level LevelWatch = 0;
const Level LevelNote = 1;
const Level LevelFatal = 2;
const Level LevelError = 3;
const Level LevelWarning = 4;
const Level LevelInfo = 5;
const Level LevelExtInfo = 6;
const Level LevelExt = 7;
const Level LevelTrace = 8;
const Level LevelDebug = 9;

// A named source of log lines; copies share the module's rules.
class Module {
public:
    Module(const char* name, const char* binary = "core");

    // Whether a line of that level is to be written; false while no rules are loaded.
    // Inline: it guards every line, and most lines are disabled.
    bool Check(Level level) const {
        vux_thread::SetStateC("debug");
        const int fast = fast_->load(std::memory_order_relaxed);
        if (fast != kWalk) return fast != kNoRule && level <= fast;
        return Walk(level);
    }
    // Formats and writes one line; does not test the level (test Check first).
    void Write(Level level, const char* format, ...) const __attribute__((format(printf, 3, 4)));

    const std::string& Name() const;
    // Where the rule that decides a line of that level was read ("" when no
    // rule decides, and Check is then false).
    std::string Explain(Level level) const;

    class Info;

    // Values of the precomputed answer that are not a rule's level.
    static const int kNoRule = INT_MIN;
    static const int kWalk = INT_MIN + 1;

private:
    // Tests the rules' conditions.
    bool Walk(Level level) const;

    std::shared_ptr<Info> info_;
    const std::atomic<int>* fast_;
};

// Names the program and loads the rules (etc/debug.conf.d/*.conf, then etc/debug.conf).
void Init(const std::string& name, Level level);
void Reload();
// Writes "Finished" and closes the log; rules stay loaded.
void Close();
bool Has();
unsigned long long MaxLogSize();
// Rotates another log file of the panel under an exclusive lock on it; returns the backup's path.
std::string Rotate(const std::string& path);
// "pid:thread number", as in log lines.
std::string Id();

// Capture of the calling thread's own lines, kept until the thread ends.
void StartThreadLog();
std::string GetThreadLog();

void GetModulesList(StringList& out);
// Modules of that program only; "*" means all.
void GetModulesList(const std::string& binary, StringList& out);
void AddBinary(const std::string& name, Level level);
void GetBinarysList(StringList& out);

// Loads the rules as program `name` would, without a log object or storage
// (for tools that answer questions about the rules). Malformed lines go to
// `problems` when given, else they are reported as Init reports them.
void LoadRules(const std::string& name, Level level, StringList* problems = nullptr);
// Seconds a rotated backup waits before gzip compresses it (default 60).
void SetCompressDelay(unsigned seconds);

}  // namespace vux_log

// Init with an empty name and every level on, for interactive tools.
VUX_API void InitInteractiveLog();

// Declares this source file's log module, VuxLogModule(), made on first use:
// VUX_LOG_MODULE("libvux") or VUX_LOG_MODULE("backtrace", "core").
#define VUX_LOG_MODULE(...)                                      \
    static const ::vux_log::Module& VuxLogModule() {             \
        static const ::vux_log::Module vux_log_module_(__VA_ARGS__); \
        return vux_log_module_;                                  \
    }

// Writes one line through module when it admits level; the format's arguments are evaluated
// only then, so a disabled level costs the check alone.
#define VUX_LOG(module, level, ...)                                            \
    do {                                                                       \
        const ::vux_log::Module& vux_log_at_ = (module);                       \
        if (vux_log_at_.Check(level)) vux_log_at_.Write((level), __VA_ARGS__); \
    } while (0)

#endif
