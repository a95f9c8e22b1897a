// Threads and locks.
#ifndef LIBVUX_VUXTHREAD_H
#define LIBVUX_VUXTHREAD_H

#include <pthread.h>

#include <atomic>
#include <string>

#include <libvux/vuxerr.h>

namespace vux_thread {

typedef pthread_t Id;
const Id None = 0;

Id Current();
bool IsSame(Id a, Id b);

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

    void Lock();
    void Unlock();
    bool TryLock();
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
    explicit SafeSection(SafeLock& lock);
    ~SafeSection();
    SafeSection(const SafeSection&) = delete;
    SafeSection& operator=(const SafeSection&) = delete;

    // The lock this section took, or null for a nested (empty) section.
    SafeLock* lock() const { return lock_; }

private:
    friend class Condition;
    SafeLock* lock_;
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
    bool saved_;
};

}  // namespace vux_thread

#endif
