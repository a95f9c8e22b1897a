#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <libvux/vuxthread.h>

#include "test_util.h"

using namespace vux_thread;

namespace {

template <class F>
Handle StartThread(F f) {
    Handle h;
    h.Start(new Handle::Impl<F>(f));
    return h;
}

template <class F>
void ExpectAssert(F&& f, const std::string& desc) {
    testutil::ExpectAssert(f, desc, "vuxthread_unix");
}

}  // namespace

TEST(SafeSectionTest, NestedSectionsTakeNothingAndOwnersArePerThread) {
    SafeLock lock;
    EXPECT_FALSE(lock.IsOwner());
    {
        SafeSection outer(lock);
        EXPECT_EQ(outer.lock(), &lock);
        EXPECT_TRUE(lock.IsOwner());
        {
            SafeSection inner(lock);
            EXPECT_EQ(inner.lock(), nullptr);
            EXPECT_TRUE(lock.IsOwner());
        }
        EXPECT_TRUE(lock.IsOwner());  // the inner one released nothing
        bool other_owner = true, got = true;
        std::thread([&] {
            other_owner = lock.IsOwner();
            got = lock.TryLock();
        }).join();
        EXPECT_FALSE(other_owner);
        EXPECT_FALSE(got);
    }
    EXPECT_FALSE(lock.IsOwner());
    EXPECT_TRUE(lock.TryLock());
    lock.Unlock();
}

TEST(SafeSectionTest, ExcludesOtherThreads) {
    SafeLock lock;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                SafeSection s(lock);
                SafeSection again(lock);
                ++counter;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
}

TEST(ThreadState, InfoNeedsAStateAndDuplicateIdsKeepTheFirst) {
    std::thread([] {
        FailIt("nobody");
        EXPECT_NO_THROW(SetStateC("x"));
        SetInfo("k", "v");
        EXPECT_EQ(GetInfo("k"), "");
        InitState("dup-id", "a");
        SetInfo("user", "admin");
        EXPECT_EQ(GetInfo("user"), "admin");
        EXPECT_EQ(GetInfo("missing"), "");
        std::thread([] {
            InitState("dup-id", "b");  // the table keeps the first thread
            FailIt("dup-id");
        }).join();
        EXPECT_THROW(SetStateC("x"), Aborted);
        SetFailState("failing");
        EXPECT_NO_THROW(SetStateC("y"));
    }).join();
}

TEST(ThreadState, AbortDoesNotFireDuringUnwinding) {
    std::thread([] {
        InitState("unwinding", "s");
        FailIt("unwinding");
        struct Reporter {
            ~Reporter() { SetStateC("cleanup"); }  // runs while an exception propagates
        };
        try {
            Reporter r;
            throw std::runtime_error("first");
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "first");
        }
    }).join();
}

TEST(ThreadErrors, FailIsAReportOfTypeThread) {
    EXPECT_EQ(testutil::ErrorOf([] { throw Fail("create"); }), "thread/create//report");
    EXPECT_STREQ(Aborted().what(), "Type: 'request_failed'");
}

// ---------------------------------------------------------------- handles

TEST(HandleTest, JoinRulesAndMisuse) {
    std::atomic<int> ran{0};
    Handle h = StartThread([&] { ran = 1; });
    EXPECT_TRUE(h.joinable());
    Handle copy = h;  // copies share the thread
    EXPECT_TRUE(h == copy.get_id());
    copy.join();
    EXPECT_FALSE(h.joinable());
    EXPECT_EQ(ran, 1);
    ExpectAssert([&] { h.join(); }, "This thread is not joinable");
    Handle none;
    ExpectAssert([&] { none.join(); }, "There is no thread associated with this handle");
    ExpectAssert([&] { (void)none.get_id(); }, "There is no thread associated with this handle");
    // Exceptions escaping the body are dropped; the thread is still joined.
    Handle thrower = StartThread([] { throw std::runtime_error("x"); });
    thrower.join();
    EXPECT_FALSE(thrower.joinable());
}

TEST(HandleTest, DroppingAJoinableHandleAsserts) {
    std::atomic<bool> go{false};
    Handle h = StartThread([&] {
        while (!go) std::this_thread::yield();
    });
    const Id id = h.get_id();
    ExpectAssert([&] { h = Handle(); }, "Thread still joinable");
    go = true;
    pthread_join(id, nullptr);  // the handle let go of it
}

TEST(HandleTest, ThreadStartsWithNoSignalBlocked) {
    sigset_t block, before, inside, after;
    sigemptyset(&block);
    sigaddset(&block, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &block, &before);
    StartThread([&] { pthread_sigmask(SIG_BLOCK, nullptr, &inside); }).join();
    pthread_sigmask(SIG_BLOCK, nullptr, &after);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    EXPECT_FALSE(sigismember(&inside, SIGUSR1));
    EXPECT_TRUE(sigismember(&after, SIGUSR1)) << "the caller's mask is restored";
}

// ---------------------------------------------------------------- conditions and locks

TEST(ConditionTest, TimeoutNotifyAndEmptySections) {
    Mutex m;
    Condition c;
    m.Lock();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.WaitUntil(m, 1));
    const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    m.Unlock();
    EXPECT_GE(waited, 0.9);
    EXPECT_LT(waited, 3.0);

    // A notified wait on a section returns true with the caller owning the lock again.
    SafeLock lock;
    bool ready = false, owner_after = false, notified = false, waiting = false;
    Handle waiter = StartThread([&] {
        SafeSection s(lock);
        waiting = true;
        while (!ready) notified = c.WaitUntil(s, 30);
        owner_after = lock.IsOwner();
    });
    for (;;) {
        SafeSection s(lock);
        if (waiting) {  // the waiter released the lock inside its wait
            ready = true;
            c.NotifyAll();
            break;
        }
    }
    waiter.join();
    EXPECT_TRUE(notified);
    EXPECT_TRUE(owner_after);
    EXPECT_FALSE(lock.IsOwner());

    SafeSection outer(lock), inner(lock);
    ExpectAssert([&] { c.Wait(inner); }, "Bad safe section");
    ExpectAssert([&] { c.WaitUntil(inner, 1); }, "Bad safe section");
}

TEST(RwLockTest, WriterReentersAndExcludesReaders) {
    RwLock rw;
    auto other_gets_write = [&](bool read_first) {
        bool got = true;
        StartThread([&] {
            std::unique_ptr<LockRead> r(read_first ? new LockRead(rw) : nullptr);
            got = static_cast<bool>(TryLockWrite(rw));
        }).join();
        return got;
    };
    {
        LockWrite w(rw);
        EXPECT_TRUE(rw.IsWriter());
        {
            LockWrite again(rw);  // takes nothing, so no deadlock
            LockRead read(rw);
            TryLockWrite t(rw);
            EXPECT_TRUE(t);
        }
        EXPECT_TRUE(rw.IsWriter()) << "the inner guards released nothing";
        EXPECT_FALSE(other_gets_write(false));
    }
    EXPECT_FALSE(rw.IsWriter());
    // Readers share; a writer waits for them.
    LockReadWrite r1(rw, false);
    EXPECT_FALSE(other_gets_write(true));
}

TEST(NamedLocks, ExcludePerNameNotAcrossNames) {
    MultiMutex mm;
    mm.Lock("a");
    bool a = true, b = false;
    StartThread([&] {
        a = mm.TryLock("a");
        b = mm.TryLock("b");
        if (b) mm.Unlock("b");
    }).join();
    EXPECT_FALSE(a);
    EXPECT_TRUE(b);
    std::atomic<bool> got{false};
    Handle waiter = StartThread([&] {
        mm.Lock("a");
        got = true;
        mm.Unlock("a");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(got) << "a waiter on a held name waits";
    mm.Unlock("a");
    waiter.join();
    EXPECT_TRUE(got);

    MultiSafeLock msl;
    std::atomic<int> inside{0}, most{0};
    std::vector<Handle> threads;
    for (int t = 0; t < 4; ++t)
        threads.push_back(StartThread([&, t] {
            for (int i = 0; i < 200; ++i) {
                MultiSafeSection s(msl, t % 2 ? "x" : "y");
                MultiSafeSection again(msl, t % 2 ? "x" : "y");  // re-entry takes nothing
                const int now = ++inside;
                for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) {
                }
                std::this_thread::yield();
                --inside;
            }
        }));
    for (Handle& th : threads) th.join();
    EXPECT_LE(most, 2) << "at most one holder per name";
}

TEST(KeyTest, SlotsArePerThreadAndFreedAtThreadEnd) {
    static std::atomic<int> freed{0};
    struct Counted {
        int value = 0;
        ~Counted() { ++freed; }
    };
    AutoKey<Counted> slot;
    slot.Get()->value = 1;
    int seen_in_thread = -1;
    StartThread([&] {
        seen_in_thread = slot.Get()->value;
        slot.Get()->value = 2;
    }).join();
    EXPECT_EQ(seen_in_thread, 0);
    EXPECT_EQ(freed, 1);
    EXPECT_EQ(slot.Get()->value, 1);
    // The slot goes before this thread ends, so this thread's value never
    // reaches the slot's destructor function.
    delete slot.Get();
}

TEST(InitTest, InitialisationsNeverOverlap) {
    static std::atomic<int> inside{0};
    static std::atomic<bool> overlapped{false};
    std::vector<Handle> threads;
    for (int t = 0; t < 4; ++t)
        threads.push_back(StartThread([] {
            Init([] {
                if (++inside > 1) overlapped = true;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                --inside;
            });
        }));
    for (Handle& th : threads) th.join();
    EXPECT_FALSE(overlapped);
}

// ---------------------------------------------------------------- states and pools

TEST(ThreadState, GetStateCopiesTheStateOfAnotherThread) {
    EXPECT_EQ(GetState("nobody-has-this").GetText(), "finished");
    std::atomic<int> step{0};
    Handle h = StartThread([&] {
        InitState("state-copy", "begin");
        SetInfo("k", "v");
        SetStateC("working");
        step = 1;
        while (step != 2) std::this_thread::yield();
    });
    while (step != 1) std::this_thread::yield();
    State s = GetState("state-copy");
    EXPECT_EQ(s.GetId(), "state-copy");
    EXPECT_EQ(s.GetText(), "working");
    EXPECT_EQ(s.GetInfo("k"), "v");
    EXPECT_TRUE(s.MayFail());
    EXPECT_FALSE(s.IsAbortRequested());
    EXPECT_GE(vux_date::Diff(s.GetStart(), s.GetChanged()), 0);
    EXPECT_LT(vux_date::Diff(s.GetStart(), s.GetChanged()), 60000);
    EXPECT_LT(std::abs(vux_date::Diff(s.GetChanged(), vux_date::AccurateDateTime())), 60000);
    FailIt("state-copy");
    EXPECT_TRUE(GetState("state-copy").IsAbortRequested());
    step = 2;
    h.join();
    EXPECT_EQ(GetState("state-copy").GetText(), "finished") << "the state goes with its thread";
}

// Times come from a coarse clock: a tick or two of precision, never out of order.
TEST(ThreadState, EachReportStampsItsTime) {
    std::thread([] {
        InitState("stamped", "start");
        const State first = GetState("stamped");
        EXPECT_GE(vux_date::Diff(first.GetStart(), first.GetChanged()), 0);
        EXPECT_LT(std::abs(vux_date::Diff(first.GetStart(), vux_date::AccurateDateTime())), 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        SetStateC("same text");
        const State second = GetState("stamped");
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        SetStateC("same text");
        const State third = GetState("stamped");
        EXPECT_EQ(vux_date::Diff(first.GetStart(), third.GetStart()), 0);
        EXPECT_GE(vux_date::Diff(first.GetChanged(), second.GetChanged()), 40);
        EXPECT_GE(vux_date::Diff(second.GetChanged(), third.GetChanged()), 40) << "a repeated text is stamped again";
    }).join();
}

TEST(PoolTest, NamesCountsAndWaiting) {
    List pool(5, 10);
    std::atomic<bool> release{false};
    auto hold = [&] {
        while (!release) std::this_thread::yield();
    };
    const std::string random = pool.Start("", hold);
    ASSERT_EQ(random.size(), 16u);
    EXPECT_EQ(random.find_first_not_of("0123456789abcdef"), std::string::npos) << random;
    pool.Start("fixed", hold);
    EXPECT_THROW(pool.GetThreadId("fixed"), vux_err::Exists);
    EXPECT_EQ(pool.Size(), 2);
    std::vector<std::string> names{"stale"};
    pool.GetList(names);
    EXPECT_EQ(names.size(), 2u);
    EXPECT_NE(std::find(names.begin(), names.end(), "fixed"), names.end());
    release = true;
    pool.Wait("fixed");
    pool.WaitAll();
    EXPECT_EQ(pool.Size(), 0);
    EXPECT_EQ(pool.GetThreadId("fixed"), "fixed") << "a finished name is free again";
}

TEST(PoolTest, WaitPastTheLimitAbortsThreadsAtTheirNextReport) {
    List pool(0, 20);
    std::atomic<int> reports{0};
    std::atomic<bool> aborted{false};
    pool.Start("stuck", [&] {
        try {
            for (;; ++reports) {
                SetStateC("loop");
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        } catch (const Aborted&) {
            aborted = true;
        }
    });
    pool.WaitAll(0);
    EXPECT_TRUE(aborted);
    EXPECT_GT(reports, 0);
    EXPECT_EQ(pool.Size(), 0);
}

// ---------------------------------------------------------------- aborts at the edges of scopes

namespace {

// Runs f in a child (a fresh run of this test), so that a std::terminate ends
// the child and not the suite; f returns what it found wrong, "" for nothing.
void ExpectSurvives(const std::function<std::string()>& f) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            const std::string wrong = f();
            if (!wrong.empty()) std::fprintf(stderr, "%s\n", wrong.c_str());
            std::fflush(stderr);
            std::_Exit(wrong.empty() ? 0 : 1);
        },
        testing::ExitedWithCode(0), "");
}

// Whether another thread can take `name` within two seconds.
bool NameIsFree(MultiSafeLock& named, const std::string& name) {
    auto taken = std::make_shared<std::atomic<bool>>(false);
    std::thread([&named, name, taken] {
        MultiSafeSection again(named, name);
        *taken = true;
    }).detach();  // left blocked when the name is never given back; the child exits anyway
    for (int i = 0; i < 200 && !*taken; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return *taken;
}

}  // namespace

TEST(PoolTest, OneNameStartedFromTwoThreadsAtOnce) {
    ExpectSurvives([] {
        for (int round = 0; round < 300; ++round) {
            List pool(5, 1);
            std::atomic<bool> release{false};
            std::atomic<int> ready{0}, started{0}, exists{0};
            auto start = [&] {
                for (++ready; ready < 2;) {
                }
                try {
                    pool.Start("same", [&] {
                        while (!release) std::this_thread::yield();
                    });
                    ++started;
                } catch (const vux_err::Exists& e) {
                    if (e.object() == "thread" && e.value() == "same") ++exists;
                }
            };
            std::thread a(start), b(start);
            a.join();
            b.join();
            const int size = pool.Size();
            release = true;
            pool.WaitAll();
            if (started != 1 || exists != 1 || size != 1)
                return "round " + std::to_string(round) + ": " + std::to_string(started) + " started, " +
                       std::to_string(exists) + " refused, " + std::to_string(size) + " running";
        }
        return std::string();
    });
}

// Log checks report a state; inside a section's constructor or destructor the
// abort they would fire has to wait for the next report outside.
TEST(ThreadState, AbortRequestsWaitOutNamedSections) {
    for (bool before : {false, true}) {
        SCOPED_TRACE(before ? "requested before the section" : "requested inside the section");
        ExpectSurvives([before] {
            std::string wrong;
            static MultiSafeLock named;
            std::thread([&] {
                InitState("abort-in-section", "s");
                if (before) FailIt("abort-in-section");
                {
                    MultiSafeSection section(named, "n");
                    if (!before) FailIt("abort-in-section");
                }
                try {
                    SetStateC("after");
                    wrong += "no abort at the next report; ";
                } catch (const Aborted&) {
                }
            }).join();
            if (!NameIsFree(named, "n")) wrong += "the name stayed taken; ";
            return wrong;
        });
    }
}

// An abort requested from another thread waits out NoFail scopes, nested ones too, and fires
// at the next report outside them; what was forbidden inside a scope stays forbidden.
TEST(ThreadState, NoFailScopesHoldAbortsOffAndKeepWhatWasForbidden) {
    std::atomic<bool> requested{false}, registered{false};
    std::thread worker([&] {
        InitState("nofail-kept", "start");
        registered = true;
        while (!requested) std::this_thread::yield();
        {
            NoFail outer;
            EXPECT_NO_THROW(SetStateC("inside"));
            {
                NoFail nested;
                EXPECT_NO_THROW(SetStateC("nested"));
            }
            EXPECT_NO_THROW(SetStateC("still inside")) << "the outer scope still holds";
        }
        try {
            SetStateC("outside");
            ADD_FAILURE() << "not aborted";
        } catch (const Aborted& a) {
            EXPECT_EQ(a.type(), "request_failed");
        }

        InitState("nofail-kept", "s");
        FailIt("nofail-kept");
        {
            NoFail scope;
            SetNoFail();
        }
        EXPECT_NO_THROW(SetStateC("after SetNoFail in a scope"));
        EXPECT_FALSE(GetState("nofail-kept").MayFail());

        InitState("nofail-kept", "again");  // allows failing again
        EXPECT_THROW(SetStateC("x"), Aborted);
        {
            NoFail outer;
            NoFail inner;
            SetFailState("failing");
        }
        EXPECT_NO_THROW(SetStateC("after SetFailState in a scope"));

        SetNoFail();
        { NoFail scope; }
        EXPECT_NO_THROW(SetStateC("after a scope following SetNoFail"));

        InitState("nofail-kept", "again");
        {
            NoFail scope;
            InitState("nofail-kept", "inside");  // re-arming does not end the scope
            EXPECT_NO_THROW(SetStateC("inside"));
            EXPECT_FALSE(GetState("nofail-kept").MayFail());
        }
        EXPECT_THROW(SetStateC("x"), Aborted);
    });
    std::thread requester([&] {
        while (!registered) std::this_thread::yield();
        FailIt("nofail-kept");
        requested = true;
    });
    requester.join();
    worker.join();
}
