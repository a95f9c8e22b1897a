#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include <libvux/vuxthread.h>

using namespace vux_thread;

TEST(SafeSectionTest, NestedSectionsTakeNothing) {
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

TEST(SafeSectionTest, OwnerIsPerThread) {
    SafeLock lock;
    SafeSection s(lock);
    std::atomic<bool> other_owner{true};
    std::atomic<bool> got{true};
    std::thread t([&] {
        other_owner = lock.IsOwner();
        got = lock.TryLock();
    });
    t.join();
    EXPECT_FALSE(other_owner);
    EXPECT_FALSE(got);
}

TEST(ThreadState, AbortFiresAtNextReportButNotInsideNoFail) {
    std::vector<std::string> log;
    std::atomic<bool> requested{false};
    std::atomic<bool> registered{false};
    std::thread worker([&] {
        InitState("worker-1", "start");
        registered = true;
        while (!requested) std::this_thread::yield();
        {
            NoFail guard;
            SetStateC("inside");  // must not throw here
            log.push_back("survived NoFail");
            {
                NoFail nested;
                SetStateC("nested");
            }
            SetStateC("still inside");  // the outer scope still holds
            log.push_back("survived nested");
        }
        try {
            SetStateC("outside");
            log.push_back("not aborted");
        } catch (const Aborted& a) {
            log.push_back("aborted " + a.type());
        }
    });
    std::thread requester([&] {
        while (!registered) std::this_thread::yield();
        FailIt("worker-1");
        requested = true;
    });
    requester.join();
    worker.join();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "survived NoFail");
    EXPECT_EQ(log[1], "survived nested");
    EXPECT_EQ(log[2], "aborted request_failed");
}

TEST(ThreadState, NoStateMeansNoAbortAndNoInfo) {
    std::thread t([] {
        FailIt("nobody");
        EXPECT_NO_THROW(SetStateC("x"));
        SetInfo("k", "v");
        EXPECT_EQ(GetInfo("k"), "");
    });
    t.join();
}

TEST(ThreadState, InfoAndDuplicateIds) {
    std::thread first([] {
        InitState("dup-id", "a");
        SetInfo("user", "admin");
        EXPECT_EQ(GetInfo("user"), "admin");
        EXPECT_EQ(GetInfo("missing"), "");
        std::thread second([] {
            InitState("dup-id", "b");  // the table keeps the first thread
            FailIt("dup-id");
        });
        second.join();
        EXPECT_THROW(SetStateC("x"), Aborted);
        SetFailState("failing");
        EXPECT_NO_THROW(SetStateC("y"));
    });
    first.join();
}

TEST(ThreadState, AbortDoesNotFireDuringUnwinding) {
    std::thread t([] {
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
    });
    t.join();
}

TEST(ThreadErrors, FailIsAReportOfTypeThread) {
    Fail f("create");
    EXPECT_EQ(f.type(), "thread");
    EXPECT_EQ(f.object(), "create");
    EXPECT_EQ(f.xml().GetNode("/doc/error").GetProp("report"), "yes");
    Aborted a;
    EXPECT_STREQ(a.what(), "Type: 'request_failed'");
}
