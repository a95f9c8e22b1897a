#include <libvux/vuxthread.h>

#include <exception>
#include <map>
#include <memory>

#include <libvux/vuxlog.h>

namespace vux_thread {

namespace {

const vux_log::Module& Logger() {
    static vux_log::Module module("libvux", "core");
    return module;
}

// One registered thread. The flags are touched from other threads (FailIt,
// inspection), the rest only under the table lock or by the owning thread.
struct StateRec {
    std::string id;
    std::atomic<bool> abort{false};
    std::atomic<bool> may_fail{true};
    std::atomic<const char*> text{""};
    std::string owned_text;  // the text of SetStateS, under the table lock
    StringMap info;
};

struct Table {
    SafeLock lock;
    std::map<std::string, std::shared_ptr<StateRec>> states;
};

// Never destroyed: threads may still report states while statics go away.
Table& GetTable() {
    static Table* table = new Table;
    return *table;
}

// The calling thread's state; leaving the thread removes it from the table.
struct Binding {
    std::shared_ptr<StateRec> state;
    ~Binding() {
        if (!state) return;
        Table& table = GetTable();
        SafeSection section(table.lock);
        auto it = table.states.find(state->id);
        if (it != table.states.end() && it->second == state) table.states.erase(it);
    }
};

thread_local Binding t_binding;

StateRec* Mine() {
    return t_binding.state.get();
}

}  // namespace

Id Current() {
    return pthread_self();
}

bool IsSame(Id a, Id b) {
    return pthread_equal(a, b) != 0;
}

Fail::Fail(const std::string& object) : vux_err::Error("thread", object) {
    set_report();
}

Aborted::Aborted() : vux_err::Error("request_failed") {}

Mutex::Mutex() {
    if (pthread_mutex_init(&mutex_, nullptr) != 0) throw Fail("mutex_init");
}

Mutex::~Mutex() {
    pthread_mutex_destroy(&mutex_);
}

void Mutex::Lock() {
    pthread_mutex_lock(&mutex_);
}

void Mutex::Unlock() {
    pthread_mutex_unlock(&mutex_);
}

bool Mutex::TryLock() {
    return pthread_mutex_trylock(&mutex_) == 0;
}

SafeSection::SafeSection(SafeLock& lock) : lock_(nullptr) {
    if (lock.IsOwner()) return;
    lock.Lock();
    lock.owner_.store(Current(), std::memory_order_relaxed);
    lock_ = &lock;
}

SafeSection::~SafeSection() {
    if (!lock_) return;
    lock_->owner_.store(None, std::memory_order_relaxed);
    lock_->Unlock();
}

void InitState(const std::string& id, const std::string& state) {
    if (Mine()) {
        SetStateS(state);
        Mine()->may_fail.store(true);
        return;
    }
    const vux_log::Module& log = Logger();
    if (log.Check(vux_log::LevelTrace)) log.Write(vux_log::LevelTrace, "%s id = '%s'", "InitState", id.c_str());
    auto rec = std::make_shared<StateRec>();
    rec->id = id;
    rec->owned_text = state;
    t_binding.state = rec;
    bool duplicate = false;
    {
        Table& table = GetTable();
        SafeSection section(table.lock);
        duplicate = !table.states.emplace(id, rec).second;
    }
    if (duplicate && log.Check(vux_log::LevelWarning))
        log.Write(vux_log::LevelWarning, "Duplicate thread id '%s'", id.c_str());
}

void SetStateC(const char* text) {
    StateRec* s = Mine();
    if (!s) return;
    if (s->abort.load(std::memory_order_relaxed) && s->may_fail.load(std::memory_order_relaxed) &&
        std::uncaught_exceptions() == 0)
        throw Aborted();
    // Null marks that the owned text (SetStateS) is the current one.
    s->text.store(text, std::memory_order_relaxed);
}

void SetStateS(const std::string& text) {
    StateRec* s = Mine();
    if (!s) return;
    SetStateC(nullptr);
    Table& table = GetTable();
    SafeSection section(table.lock);
    s->owned_text = text;
}

void SetFailState(const std::string& text) {
    SetNoFail();
    SetStateS(text);
}

void SetNoFail() {
    if (StateRec* s = Mine()) s->may_fail.store(false);
}

void FailIt(const std::string& id) {
    Table& table = GetTable();
    SafeSection section(table.lock);
    auto it = table.states.find(id);
    if (it != table.states.end()) it->second->abort.store(true);
}

void SetInfo(const std::string& key, const std::string& value) {
    StateRec* s = Mine();
    if (!s) return;
    Table& table = GetTable();
    SafeSection section(table.lock);
    s->info[key] = value;
}

std::string GetInfo(const std::string& key) {
    StateRec* s = Mine();
    if (!s) return "";
    Table& table = GetTable();
    SafeSection section(table.lock);
    auto it = s->info.find(key);
    return it == s->info.end() ? std::string() : it->second;
}

NoFail::NoFail() : saved_(false) {
    if (StateRec* s = Mine()) saved_ = s->may_fail.exchange(false);
}

NoFail::~NoFail() {
    if (!saved_) return;
    if (StateRec* s = Mine()) s->may_fail.store(true);
}

}  // namespace vux_thread
