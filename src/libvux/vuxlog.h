// Rule-driven logging: modules, levels, lines, storages and rotation.
#ifndef LIBVUX_VUXLOG_H
#define LIBVUX_VUXLOG_H

#include <libvux/vuxapi.h>

#include <atomic>
#include <climits>
#include <cstdint>
#include <memory>
#include <string>

#include <time.h>

#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace vux_thread {
void SetStateC(const char* text);

// What a log check needs of thread states. Every check reports the state "debug", so a
// report is inline here: a thread without a state pays one load, one with a state two
// stores and a coarse clock read.
namespace detail {

// The part of a thread state that a report touches.
struct StateHead {
    std::atomic<bool> abort{false};
    // Null while the text set by SetStateS is the current one.
    std::atomic<const char*> text{nullptr};
    // Wall-clock microseconds of the last report.
    std::atomic<long long> changed_us{0};
};

// The calling thread's state, null without one. In static TLS, which the header can read.
extern __thread StateHead* t_state __attribute__((tls_model("initial-exec")));

// The clock a report reads: CLOCK_REALTIME_COARSE through the kernel's own entry point once
// a state exists. A state's times say how long a thread has been in a state, so a clock
// tick's precision (a few milliseconds) is enough, at a fraction of a precise read's cost.
extern std::atomic<int (*)(clockid_t, timespec*)> clock_read;

inline long long CoarseNowUs() {
    timespec ts;
    clock_read.load(std::memory_order_relaxed)(CLOCK_REALTIME_COARSE, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000LL + ts.tv_nsec / 1000;
}

// SetStateC for a thread with a state; a requested abort is left to SetStateC to fire or not.
inline void Report(StateHead* state, const char* text) {
    if (state->abort.load(std::memory_order_relaxed)) [[unlikely]] {
        SetStateC(text);
        return;
    }
    state->text.store(text, std::memory_order_relaxed);
    state->changed_us.store(CoarseNowUs(), std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace vux_thread

namespace vux_log {

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
    Module(const Module& other);
    Module& operator=(const Module& other);
    ~Module();

    // Whether a line of that level is to be written; false while no rules are loaded.
    // Inline: it guards every line, and most lines are disabled.
    bool Check(Level level) const {
        const std::uint64_t admits = fast_.admits.load(std::memory_order_relaxed);
        vux_thread::detail::StateHead* const state = vux_thread::detail::t_state;
        // One bit test settles a disabled line; the state test is folded in with "|" (a logical
        // "and" compiles to two branches), so that a thread without a state takes one branch.
        if (((admits & LevelBit(level)) | reinterpret_cast<std::uintptr_t>(state)) == 0) [[likely]]
            return false;
        if (state) vux_thread::detail::Report(state, "debug");
        if (!(admits & LevelBit(level))) return false;
        const int fast = fast_.level.load(std::memory_order_relaxed);
        if (level > fast) return false;
        if (fast != kWalk) return true;
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
    static const int kWalk = INT_MAX;

    // The precomputed answer: the deciding rule's level, or a marker, and the levels it may
    // admit as bits (level L is bit L; levels outside 0..62 share bit 63, which only sends
    // them on to the exact comparison).
    struct Fast {
        std::atomic<std::uint64_t> admits{0};
        std::atomic<int> level{kNoRule};
    };
    static constexpr std::uint64_t LevelBit(Level level) {
        return static_cast<unsigned>(level) < 63 ? std::uint64_t(1) << level : std::uint64_t(1) << 63;
    }

private:
    // Tests the rules' conditions.
    bool Walk(Level level) const;

    std::shared_ptr<Info> info_;
    // A copy of the module's answer, kept current by every reload, so that a check reads
    // the object it is called on and nothing behind a pointer.
    Fast fast_;
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

VUX_API_END

#endif
