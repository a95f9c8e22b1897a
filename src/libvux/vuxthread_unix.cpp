#include <libvux/vuxthread.h>

#include <cxxabi.h>
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <time.h>

#include <exception>
#include <map>
#include <memory>
#include <mutex>

#include <libvux/vuxlog.h>
#include <libvux/vuxprofiler.h>
#include <libvux/vuxproc.h>
#include <libvux/vuxstr.h>

namespace vux_thread {

namespace detail {

// One registered thread. The flags are touched from other threads (FailIt,
// inspection), the rest only under the table lock or by the owning thread.
struct VUX_INTERNAL StateRec : StateHead {
    std::string id;
    // Aborts fire only while this is 0 (see kNoFailForGood).
    std::atomic<int> hold{0};
    std::string owned_text;  // the text of SetStateS, under the table lock
    StringMap info;
    timeval start{};
};

// Mirrors the binding's pointer (see Binding).
__thread StateHead* t_state __attribute__((tls_model("initial-exec"))) = nullptr;

// The C library's clock_gettime adds as much again as a coarse read costs, so
// the first InitState switches to the kernel's own entry point (the vDSO's).
constinit std::atomic<int (*)(clockid_t, timespec*)> clock_read{&clock_gettime};

}  // namespace detail

namespace {

using detail::StateHead;
using detail::StateRec;
using detail::t_state;

VUX_LOG_MODULE("libvux", "core")

// Set in StateRec::hold while failing is forbidden for good; the bits below
// count the open NoFail scopes, so that a scope ending never lifts it.
const int kNoFailForGood = 1 << 30;

// Without a vDSO (under valgrind, for one) the C library's call stays.
void UseKernelClock() {
    if (void* vdso = dlopen("linux-vdso.so.1", RTLD_NOW | RTLD_NOLOAD))
        if (void* f = dlvsym(vdso, "__vdso_clock_gettime", "LINUX_2.6"))
            detail::clock_read.store(reinterpret_cast<int (*)(clockid_t, timespec*)>(f));
}

long long NowUs() {
    return detail::CoarseNowUs();
}

timeval FromUs(long long us) {
    timeval tv;
    tv.tv_sec = static_cast<time_t>(us / 1000000LL);
    tv.tv_usec = static_cast<suseconds_t>(us % 1000000LL);
    return tv;
}

struct Table {
    SafeLock lock;
    std::map<std::string, std::shared_ptr<StateRec>> states;
};

// Never destroyed: threads may still report states while statics go away.
Table& GetTable() {
    static Table* table = new Table;
    return *table;
}

// The calling thread's state; leaving the thread removes it from the table. Its
// pointer is mirrored in t_state: a thread_local with a destructor is reached
// through an initialisation guard, and every log check asks for it.
struct Binding {
    std::shared_ptr<StateRec> state;
    ~Binding() {
        t_state = nullptr;
        if (!state) return;
        Table& table = GetTable();
        SafeSection section(table.lock);
        auto it = table.states.find(state->id);
        if (it != table.states.end() && it->second == state) table.states.erase(it);
    }
};

thread_local Binding t_binding;

StateRec* Mine() {
    return static_cast<StateRec*>(t_state);
}

}  // namespace


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



namespace {


timespec Deadline(size_t seconds) {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    ts.tv_sec += static_cast<time_t>(seconds);
    return ts;
}

const Id kNoWriter = static_cast<Id>(-1);

}  // namespace


Condition::Condition() {
    if (pthread_cond_init(&cond_, nullptr) != 0) throw Fail("condition_init");
}

Condition::~Condition() {
    pthread_cond_destroy(&cond_);
}

void Condition::Wait(Mutex& mutex) {
    vux_profiler::Task task("lock");
    pthread_cond_wait(&cond_, mutex.native());
}

void Condition::Wait(SafeSection& section) {
    SafeLock* lock = section.lock_;
    VUX_ASSERT_AT(lock, 166, __PRETTY_FUNCTION__, "Bad safe section");
    vux_profiler::Task task("lock");
    lock->owner_.store(None, std::memory_order_relaxed);
    pthread_cond_wait(&cond_, lock->native());
    lock->owner_.store(Current(), std::memory_order_relaxed);
}

bool Condition::WaitUntil(Mutex& mutex, size_t seconds) {
    const timespec until = Deadline(seconds);
    vux_profiler::Task task("lock");
    int rc;
    do rc = pthread_cond_timedwait(&cond_, mutex.native(), &until);
    while (rc == EINTR);
    return rc != ETIMEDOUT;
}

bool Condition::WaitUntil(SafeSection& section, size_t seconds) {
    SafeLock* lock = section.lock_;
    VUX_ASSERT_AT(lock, 172, __PRETTY_FUNCTION__, "Bad safe section");
    const timespec until = Deadline(seconds);
    vux_profiler::Task task("lock");
    lock->owner_.store(None, std::memory_order_relaxed);
    int rc;
    do rc = pthread_cond_timedwait(&cond_, lock->native(), &until);
    while (rc == EINTR);
    lock->owner_.store(Current(), std::memory_order_relaxed);
    return rc != ETIMEDOUT;
}

void Condition::NotifyOne() {
    pthread_cond_signal(&cond_);
}

void Condition::NotifyAll() {
    pthread_cond_broadcast(&cond_);
}

RwLock::RwLock() : writer_(kNoWriter) {
    if (pthread_rwlock_init(&lock_, nullptr) != 0) throw Fail("mutex_init");
}

RwLock::~RwLock() {
    pthread_rwlock_destroy(&lock_);
}

LockRead::LockRead(RwLock& lock) : lock_(nullptr) {
    if (lock.IsWriter()) return;
    vux_profiler::Task task("lock");
    pthread_rwlock_rdlock(&lock.lock_);
    lock_ = &lock;
}

LockRead::~LockRead() {
    if (lock_) pthread_rwlock_unlock(&lock_->lock_);
}

LockWrite::LockWrite(RwLock& lock) : lock_(nullptr) {
    if (lock.IsWriter()) return;
    vux_profiler::Task task("lock");
    pthread_rwlock_wrlock(&lock.lock_);
    lock.writer_.store(Current(), std::memory_order_relaxed);
    lock_ = &lock;
}

LockWrite::~LockWrite() {
    if (!lock_) return;
    lock_->writer_.store(kNoWriter, std::memory_order_relaxed);
    pthread_rwlock_unlock(&lock_->lock_);
}

TryLockWrite::TryLockWrite(RwLock& lock) : lock_(nullptr), held_(false) {
    if (lock.IsWriter()) {
        held_ = true;
        return;
    }
    if (pthread_rwlock_trywrlock(&lock.lock_) != 0) return;
    lock.writer_.store(Current(), std::memory_order_relaxed);
    lock_ = &lock;
    held_ = true;
}

TryLockWrite::~TryLockWrite() {
    if (!lock_) return;
    lock_->writer_.store(kNoWriter, std::memory_order_relaxed);
    pthread_rwlock_unlock(&lock_->lock_);
}

LockReadWrite::LockReadWrite(RwLock& lock, bool write) {
    if (write)
        write_.emplace(lock);
    else
        read_.emplace(lock);
}

Key::Key(void (*destructor)(void*)) {
    if (pthread_key_create(&key_, destructor) != 0) throw Fail("key_create");
}

Key::~Key() {
    pthread_key_delete(key_);
}

void* Key::Get() const {
    return pthread_getspecific(key_);
}

void Key::Set(void* value) {
    pthread_setspecific(key_, value);
}

void MultiMutex::Lock(const std::string& name) {
    mutex_.Lock();
    while (locked_.count(name)) cond_.Wait(mutex_);
    locked_.insert(name);
    mutex_.Unlock();
}

bool MultiMutex::TryLock(const std::string& name) {
    mutex_.Lock();
    const bool took = locked_.insert(name).second;
    mutex_.Unlock();
    return took;
}

void MultiMutex::Unlock(const std::string& name) {
    mutex_.Lock();
    locked_.erase(name);
    mutex_.Unlock();
    cond_.NotifyAll();
}

MultiSafeSection::MultiSafeSection(MultiSafeLock& lock, const std::string& name) : lock_(nullptr), name_(name) {
    const Id me = Current();
    lock.mutex_.Lock();
    for (;;) {
        auto it = lock.locked_.find(name);
        if (it == lock.locked_.end()) break;
        if (IsSame(it->second, me)) {
            lock.mutex_.Unlock();
            VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "MultiSafeSection '%s' with same thread id %lld",
                    name.c_str(), static_cast<long long>(me));
            return;
        }
        lock.cond_.Wait(lock.mutex_);
    }
    lock.locked_.emplace(name, me);
    lock.mutex_.Unlock();
    lock_ = &lock;
    // An abort thrown from here would leave the name taken for good.
    NoFail nofail;
    VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Thread %lld got lock '%s'",
            "vuxthread_unix.cpp", 122, static_cast<long long>(me), name.c_str());
}

MultiSafeSection::~MultiSafeSection() {
    if (!lock_) return;
    NoFail nofail;  // a log check is an abort point, and this is a destructor
    VUX_LOG(VuxLogModule(), vux_log::LevelDebug, "%s:%d Release lock '%s'",
            "vuxthread_unix.cpp", 129, name_.c_str());
    lock_->mutex_.Lock();
    lock_->locked_.erase(name_);
    lock_->mutex_.Unlock();
    lock_->cond_.NotifyAll();
}

namespace {

void* Entry(void* arg) {
    Handle::BaseImpl* impl = static_cast<Handle::BaseImpl*>(arg);
    try {
        impl->run();
    } catch (abi::__forced_unwind&) {
        delete impl;
        throw;  // thread cancellation must go on unwinding
    } catch (...) {
    }
    try {
        delete impl;
    } catch (...) {
    }
    return nullptr;
}

pthread_attr_t* JoinableAttrs() {
    static pthread_attr_t attrs;
    static std::once_flag once;
    std::call_once(once, [] {
        pthread_attr_init(&attrs);
        pthread_attr_setdetachstate(&attrs, PTHREAD_CREATE_JOINABLE);
    });
    return &attrs;
}

}  // namespace

Handle::~Handle() noexcept(false) {
    Release();
}

// Dropping the last handle of an unjoined thread is a programming error;
// while unwinding it cannot be reported, so the thread is let go instead.
void Handle::Release() {
    std::shared_ptr<Data> data = std::move(data_);
    if (!data || data.use_count() > 1 || !data->joinable) return;
    if (std::uncaught_exceptions() > 0) {
        pthread_detach(data->thread);
        data->joinable = 0;
        return;
    }
    VUX_ASSERT_FAIL_AT(69, __PRETTY_FUNCTION__, "Thread still joinable");
}

Handle& Handle::operator=(const Handle& other) {
    if (this != &other) {
        Handle keep(other);
        Release();
        data_ = std::move(keep.data_);
    }
    return *this;
}

Handle& Handle::operator=(Handle&& other) {
    if (this != &other) {
        Release();
        data_ = std::move(other.data_);
    }
    return *this;
}

void Handle::Start(BaseImpl* impl) {
    if (joinable()) {
        delete impl;
        VUX_ASSERT_FAIL_AT(69, __PRETTY_FUNCTION__, "Thread still joinable");
    }
    auto data = std::make_shared<Data>();
    sigset_t none, saved;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, &saved);
    const int rc = pthread_create(&data->thread, JoinableAttrs(), &Entry, impl);
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    if (rc != 0) {
        delete impl;
        throw Fail("create");
    }
    data->joinable = 1;
    data_ = std::move(data);
}

void Handle::join() {
    VUX_ASSERT_AT(data_, 88, __PRETTY_FUNCTION__, "There is no thread associated with this handle");
    VUX_ASSERT_AT(data_->joinable, 73, __PRETTY_FUNCTION__, "This thread is not joinable");
    vux_profiler::Task task("lock");
    const int rc = pthread_join(data_->thread, nullptr);
    VUX_ASSERT_AT(rc == 0, 75, __PRETTY_FUNCTION__, "Join failed. Result:" + std::to_string(rc));
    data_->joinable = 0;
}

Id Handle::get_id() const {
    VUX_ASSERT_AT(data_, 81, __PRETTY_FUNCTION__, "There is no thread associated with this handle");
    return data_->thread;
}

void Init(void (*f)()) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    f();
}

void InitState(const std::string& id, const std::string& state) {
    if (StateRec* mine = Mine()) {
        {
            Table& table = GetTable();
            SafeSection section(table.lock);
            mine->owned_text = state;
        }
        mine->text.store(nullptr, std::memory_order_relaxed);
        mine->hold.fetch_and(~kNoFailForGood);
        mine->changed_us.store(NowUs(), std::memory_order_relaxed);
        return;
    }
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s id = '%s'", "InitState", id.c_str());
    auto rec = std::make_shared<StateRec>();
    rec->id = id;
    rec->owned_text = state;
    static const bool kernel_clock = (UseKernelClock(), true);
    (void)kernel_clock;
    const long long now = NowUs();
    rec->start = FromUs(now);
    rec->changed_us.store(now, std::memory_order_relaxed);
    t_binding.state = rec;
    t_state = rec.get();
    bool duplicate = false;
    {
        Table& table = GetTable();
        SafeSection section(table.lock);
        duplicate = !table.states.emplace(id, rec).second;
    }
    if (duplicate) VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Duplicate thread id '%s'", id.c_str());
}

void SetStateC(const char* text) {
    StateRec* s = Mine();
    if (!s) return;
    if (s->abort.load(std::memory_order_relaxed) && s->hold.load(std::memory_order_relaxed) == 0 &&
        std::uncaught_exceptions() == 0)
        throw Aborted();
    // Null marks that the owned text (SetStateS) is the current one.
    s->text.store(text, std::memory_order_relaxed);
    s->changed_us.store(NowUs(), std::memory_order_relaxed);
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
    if (StateRec* s = Mine()) s->hold.fetch_or(kNoFailForGood);
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

State::State()
    : start_(vux_date::uninitialized()), changed_(vux_date::uninitialized()), abort_(false), may_fail_(true) {}

std::string State::GetInfo(const std::string& key) const {
    auto it = info_.find(key);
    return it == info_.end() ? std::string() : it->second;
}

State GetState(const std::string& id) {
    VUX_LOG(VuxLogModule(), vux_log::LevelTrace, "%s id = '%s'", "GetState", id.c_str());
    State out;
    Table& table = GetTable();
    SafeSection section(table.lock);
    auto it = table.states.find(id);
    if (it == table.states.end()) {
        out.text_ = "finished";
        return out;
    }
    const StateRec& rec = *it->second;
    out.start_ = vux_date::AccurateDateTime(rec.start);
    out.id_ = rec.id;
    out.changed_ = vux_date::AccurateDateTime(FromUs(rec.changed_us.load(std::memory_order_relaxed)));
    out.abort_ = rec.abort.load();
    out.may_fail_ = rec.hold.load() == 0;
    out.info_ = rec.info;
    const char* text = rec.text.load(std::memory_order_relaxed);
    out.text_ = text ? text : rec.owned_text;
    return out;
}

NoFail::NoFail() : state_(Mine()) {
    if (state_) static_cast<StateRec*>(state_)->hold.fetch_add(1);
}

NoFail::~NoFail() {
    // A state made inside the scope was never held by it.
    if (state_ && state_ == Mine()) static_cast<StateRec*>(state_)->hold.fetch_sub(1);
}

List::List(int wait_limit, int poll_interval) : wait_limit_(wait_limit), poll_interval_(poll_interval), count_(0) {}

List::~List() {
    try {
        WaitAll(-1);
    } catch (...) {
        // An abort of the destroying thread must not leave threads unjoined.
        NoFail guard;
        WaitAll(-1);
    }
}

List::BaseImpl::BaseImpl(List& list, const std::string& name, bool register_state)
    : list_(list), name_(name), register_state_(register_state) {}

void List::BaseImpl::Begin() {
    if (register_state_) InitState(name_, "start");
}

void List::BaseImpl::Finish() {
    SetNoFail();
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Thread %s finished", name_.c_str());
    SafeSection section(list_.lock_);
    list_.finished_.push_back(name_);
}

std::string List::GetThreadId(std::string name) {
    SafeSection section(lock_);
    CollectFinished();
    if (!name.empty() && running_.count(name)) throw vux_err::Exists("thread", name);
    while (name.empty() || running_.count(name)) name = str::hex::Encode(str::Random(8));
    VUX_LOG(VuxLogModule(), vux_log::LevelExtInfo, "Start thread %s", name.c_str());
    return name;
}

void List::Enter(const std::string& name, BaseImpl* body) {
    SafeSection section(lock_);
    // Entered under the lock, so that a quick body's Finish finds it.
    auto entry = running_.try_emplace(name);
    if (!entry.second) {
        delete body;
        throw vux_err::Exists("thread", name);
    }
    Handle& handle = entry.first->second;
    try {
        handle.Start(body);
    } catch (...) {
        running_.erase(name);
        throw;
    }
    ++count_;
}

void List::CollectFinished() {
    SafeSection section(lock_);
    for (const std::string& name : finished_) {
        auto it = running_.find(name);
        if (it == running_.end()) continue;
        if (it->second.joinable()) it->second.join();
        running_.erase(it);
        --count_;
    }
    finished_.clear();
}

int List::Size() {
    SafeSection section(lock_);
    CollectFinished();
    return count_;
}

void List::GetList(std::vector<std::string>& out) {
    SafeSection section(lock_);
    CollectFinished();
    out.clear();
    for (const auto& kv : running_) out.push_back(kv.first);
}

void List::Wait(const std::string& name, int limit) {
    WaitFor(&name, limit);
}

void List::WaitAll(int limit) {
    WaitFor(nullptr, limit);
}

void List::WaitFor(const std::string* name, int limit) {
    if (limit < 0) limit = wait_limit_;
    const time_t start = time(nullptr);
    auto running = [&] {
        SafeSection section(lock_);
        CollectFinished();
        return name ? running_.count(*name) > 0 : count_ > 0;
    };
    if (!running()) return;
    bool terminating = false;
    for (;;) {
        if (!terminating && time(nullptr) - start > limit) {
            terminating = true;
            SafeSection section(lock_);
            for (const auto& kv : running_) {
                if (name && kv.first != *name) continue;
                VUX_LOG(VuxLogModule(), vux_log::LevelWarning, "Trying to terminate thread '%s'",
                        kv.first.c_str());
                FailIt(kv.first);
            }
        }
        vux_proc::Sleep(static_cast<unsigned long>(poll_interval_));
        UpdateStatus();
        if (!running()) return;
    }
}

}  // namespace vux_thread
