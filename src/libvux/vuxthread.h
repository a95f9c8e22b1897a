// Threads and locks.
#ifndef LIBVUX_VUXTHREAD_H
#define LIBVUX_VUXTHREAD_H

#include <libvux/vuxapi.h>

#include <pthread.h>

#include <sys/time.h>

#include <atomic>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <libvux/vuxdate.h>
#include <libvux/vuxerr.h>
#include <libvux/vuxprofiler.h>
#include <libvux/vuxtypes.h>

VUX_API_BEGIN

namespace vux_thread {

typedef pthread_t Id;
const Id None = 0;

// Inline: they sit on the path of every lock.
inline Id Current() { return pthread_self(); }
inline bool IsSame(Id a, Id b) { return pthread_equal(a, b) != 0; }

// A threading primitive failed ("mutex_init", "condition_init", "create").
class Fail : public vux_err::Error {
public:
    explicit Fail(const std::string& object);
};

// Thrown into a thread whose abort was requested.
class Aborted : public vux_err::Error {
public:
    Aborted();
};

// A plain, non-recursive mutex.
class Mutex {
public:
    Mutex();
    ~Mutex();
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;

    void Lock() {
        // The profiler's "lock" task only carries its name, so it costs nothing.
        vux_profiler::Task task("lock");
        pthread_mutex_lock(&mutex_);
    }
    void Unlock() { pthread_mutex_unlock(&mutex_); }
    bool TryLock() { return pthread_mutex_trylock(&mutex_) == 0; }
    pthread_mutex_t* native() { return &mutex_; }

private:
    pthread_mutex_t mutex_;
};

// A mutex that knows its owner, so that a guard can tell re-entry from contention.
class SafeLock : public Mutex {
public:
    SafeLock() : owner_(None) {}
    bool IsOwner() const { return IsSame(owner_.load(std::memory_order_relaxed), Current()); }

private:
    friend class SafeSection;
    friend class Condition;
    std::atomic<Id> owner_;
};

// Holds a SafeLock for a scope; takes nothing when the caller already owns it.
class SafeSection {
public:
    explicit SafeSection(SafeLock& lock) : lock_(nullptr) {
        const Id me = Current();
        if (IsSame(lock.owner_.load(std::memory_order_relaxed), me)) return;
        lock.Lock();
        lock.owner_.store(me, std::memory_order_relaxed);
        lock_ = &lock;
    }
    ~SafeSection() {
        if (!lock_) return;
        lock_->owner_.store(None, std::memory_order_relaxed);
        lock_->Unlock();
    }
    SafeSection(const SafeSection&) = delete;
    SafeSection& operator=(const SafeSection&) = delete;

    // The lock this section took, or null for a nested (empty) section.
    SafeLock* lock() const { return lock_; }

private:
    friend class Condition;
    SafeLock* lock_;
};

// A condition variable; time-outs are whole seconds of wall-clock time.
class Condition {
public:
    Condition();
    ~Condition();
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;

    void Wait(Mutex& mutex);
    void Wait(SafeSection& section);
    // True when notified, false on time-out.
    bool WaitUntil(Mutex& mutex, size_t seconds);
    bool WaitUntil(SafeSection& section, size_t seconds);
    void NotifyOne();
    void NotifyAll();

private:
    pthread_cond_t cond_;
};

// A read-write lock that lets its writer re-enter for reading and writing.
class RwLock {
public:
    RwLock();
    ~RwLock();
    RwLock(const RwLock&) = delete;
    RwLock& operator=(const RwLock&) = delete;
    bool IsWriter() const { return IsSame(writer_.load(std::memory_order_relaxed), Current()); }

private:
    friend class LockRead;
    friend class LockWrite;
    friend class TryLockWrite;
    pthread_rwlock_t lock_;
    std::atomic<Id> writer_;
};

class LockRead {
public:
    explicit LockRead(RwLock& lock);
    ~LockRead();
    LockRead(const LockRead&) = delete;
    LockRead& operator=(const LockRead&) = delete;

private:
    RwLock* lock_;
};

class LockWrite {
public:
    explicit LockWrite(RwLock& lock);
    ~LockWrite();
    LockWrite(const LockWrite&) = delete;
    LockWrite& operator=(const LockWrite&) = delete;

private:
    friend class TryLockWrite;
    LockWrite() : lock_(nullptr) {}
    RwLock* lock_;
};

class TryLockWrite {
public:
    explicit TryLockWrite(RwLock& lock);
    ~TryLockWrite();
    TryLockWrite(const TryLockWrite&) = delete;
    TryLockWrite& operator=(const TryLockWrite&) = delete;
    // Whether the caller holds the write lock (taken here or already its own).
    explicit operator bool() const { return held_; }

private:
    RwLock* lock_;
    bool held_;
};

class LockReadWrite {
public:
    LockReadWrite(RwLock& lock, bool write);
    LockReadWrite(const LockReadWrite&) = delete;
    LockReadWrite& operator=(const LockReadWrite&) = delete;

private:
    std::optional<LockRead> read_;
    std::optional<LockWrite> write_;
};

// A thread-local slot.
class Key {
public:
    explicit Key(void (*destructor)(void*) = nullptr);
    ~Key();
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    void* Get() const;
    void Set(void* value);

private:
    pthread_key_t key_;
};

// A slot holding one T per thread, made on first use and deleted with the thread.
template <class T, class K = Key>
class AutoKey {
public:
    AutoKey() : key_(&Destroy) {}
    T* Get() {
        T* value = static_cast<T*>(key_.Get());
        if (!value) {
            value = new T();
            key_.Set(value);
        }
        return value;
    }

private:
    static void Destroy(void* p) { delete static_cast<T*>(p); }
    K key_;
};

// Named locks: each name is held by at most one owner at a time.
class MultiMutex {
public:
    void Lock(const std::string& name);
    bool TryLock(const std::string& name);
    void Unlock(const std::string& name);

private:
    Mutex mutex_;
    Condition cond_;
    std::set<std::string> locked_;
};

class MultiSafeLock {
private:
    friend class MultiSafeSection;
    Mutex mutex_;
    Condition cond_;
    std::map<std::string, Id> locked_;
};

// Holds a name of a MultiSafeLock; takes nothing when the caller holds it already.
class MultiSafeSection {
public:
    MultiSafeSection(MultiSafeLock& lock, const std::string& name);
    ~MultiSafeSection();
    MultiSafeSection(const MultiSafeSection&) = delete;
    MultiSafeSection& operator=(const MultiSafeSection&) = delete;

private:
    MultiSafeLock* lock_;
    std::string name_;
};

// A thread that must be joined before its last handle goes.
class Handle {
public:
    class BaseImpl {
    public:
        virtual ~BaseImpl() {}
        virtual void run() = 0;
    };

    template <class T>
    class Impl : public BaseImpl {
    public:
        explicit Impl(const T& body) : body_(body) {}
        void run() override { body_(); }

    private:
        T body_;
    };

    struct Data {
        int joinable = 0;
        pthread_t thread = 0;
    };

    Handle() {}
    ~Handle() noexcept(false);
    Handle(const Handle&) = default;
    Handle(Handle&&) = default;
    Handle& operator=(const Handle& other);
    Handle& operator=(Handle&& other);
    void swap(Handle& other) { data_.swap(other.data_); }

    // Runs impl->run() in a new thread, then deletes impl.
    void Start(BaseImpl* impl);
    void join();
    bool joinable() const { return data_ && data_->joinable; }
    Id get_id() const;
    bool operator==(const Id& id) const { return data_ && IsSame(data_->thread, id); }

private:
    void Release();
    std::shared_ptr<Data> data_;
};

// Runs an object that lives elsewhere (its owner outlives the thread).
template <class T>
struct RunIt_t {
    explicit RunIt_t(T* object) : object_(object) {}
    void operator()() { (*object_)(); }
    T* object_;
};

template <class T>
RunIt_t<T> RunIt(T* object) {
    return RunIt_t<T>(object);
}

// Calls f under a process-wide lock, so that initialisations never overlap.
void Init(void (*f)());

class State;
State GetState(const std::string& id);

// A copy of a registered thread's state.
class State {
public:
    State();
    const std::string& GetId() const { return id_; }
    const std::string& GetText() const { return text_; }
    bool IsAbortRequested() const { return abort_; }
    bool MayFail() const { return may_fail_; }
    // Local times of the registration and of the last state change, to a clock tick (a few ms).
    const vux_date::AccurateDateTime& GetStart() const { return start_; }
    const vux_date::AccurateDateTime& GetChanged() const { return changed_; }
    void SetInfo(const std::string& key, const std::string& value) { info_[key] = value; }
    std::string GetInfo(const std::string& key) const;
    const StringMap& GetInfoMap() const { return info_; }

private:
    friend State GetState(const std::string& id);
    vux_date::AccurateDateTime start_;
    std::string id_;
    vux_date::AccurateDateTime changed_;
    bool abort_;
    bool may_fail_;
    StringMap info_;
    std::string text_;
};

// Thread states: abort requests fire at the next state report.
void InitState(const std::string& id, const std::string& state);
void SetStateC(const char* text);
void SetStateS(const std::string& text);
void SetFailState(const std::string& text);
void SetNoFail();
void FailIt(const std::string& id);
void SetInfo(const std::string& key, const std::string& value);
std::string GetInfo(const std::string& key);

// A scope in which a pending abort does not fire.
class NoFail {
public:
    NoFail();
    ~NoFail();
    NoFail(const NoFail&) = delete;
    NoFail& operator=(const NoFail&) = delete;

private:
    void* state_;  // the thread state this scope holds, if the thread had one
};

// A pool of named worker threads.
class List {
public:
    List(int wait_limit, int poll_interval);
    // Called on every poll while waiting.
    virtual void UpdateStatus() {}
    virtual ~List();
    List(const List&) = delete;
    List& operator=(const List&) = delete;

    // The body of a pool thread; it calls Finish() when it ends.
    class BaseImpl : public Handle::BaseImpl {
    public:
        // `register_state`: run the body under a thread state named as the thread.
        BaseImpl(List& list, const std::string& name, bool register_state);
        void Finish();
        const std::string& name() const { return name_; }

    protected:
        // Registers the thread state, when asked to.
        void Begin();
        List& list_;
        std::string name_;
        bool register_state_;
    };

    // The name the caller then starts the thread under; "" draws a random one.
    std::string GetThreadId(std::string name);
    void CollectFinished();
    int Size();
    void GetList(std::vector<std::string>& out);
    // limit in seconds, -1 for the pool's default.
    void Wait(const std::string& name, int limit = -1);
    void WaitAll(int limit = -1);

    // Starts `body` as a pool thread under `name` ("" for a random one) with
    // its own thread state; returns the name.
    template <class T>
    std::string Start(const std::string& name, const T& body) {
        // Checked and entered as one step: two callers of one name must not
        // both pass the check.
        SafeSection section(lock_);
        const std::string id = GetThreadId(name);
        Enter(id, new Body<T>(*this, id, body));
        return id;
    }

private:
    template <class T>
    class Body : public BaseImpl {
    public:
        Body(List& list, const std::string& name, const T& body) : BaseImpl(list, name, true), body_(body) {}
        void run() override {
            Begin();
            try {
                body_();
            } catch (...) {
                Finish();
                throw;
            }
            Finish();
        }

    private:
        T body_;
    };

    void Enter(const std::string& name, BaseImpl* body);
    void WaitFor(const std::string* name, int limit);

    int wait_limit_;
    int poll_interval_;
    int count_;
    SafeLock lock_;
    std::vector<std::string> finished_;
    std::map<std::string, Handle> running_;
};

}  // namespace vux_thread

VUX_API_END

#endif
