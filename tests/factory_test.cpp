#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <libvux/vuxfactory.h>

#include "test_util.h"

using vux_factory::BaseFactory;

namespace {

std::atomic<int> g_created{0};
std::atomic<int> g_destroyed{0};

class Worker : public BaseFactory::BaseElem {
public:
    Worker() : BaseElem(nullptr, nullptr) { ++g_created; }
    ~Worker() override { ++g_destroyed; }
    std::atomic<bool> busy{false};
    long uses = 0;
};

class Other : public BaseFactory::BaseElem {
public:
    Other() : BaseElem(&g_created, &g_destroyed) { ++g_created; }
    ~Other() override { ++g_destroyed; }
};

BaseFactory::BaseElem* NewWorker() { return new Worker; }
BaseFactory::BaseElem* NewOther() { return new Other; }

}  // namespace

TEST(Factory, RegistryAndPool) {
    g_created = g_destroyed = 0;
    {
        BaseFactory f;
        f.RealRegister("worker", &NewWorker);
        f.RealRegister("other", &NewOther);
        EXPECT_EQ(f.Index("worker"), 0);
        EXPECT_EQ(f.Index("other"), 1);
        EXPECT_EQ(testutil::AssertText([&] { f.RealRegister("worker", &NewWorker); }), "Duplicate class");
        EXPECT_EQ(testutil::AssertText([&] { f.Index("nothing"); }), "Unregistered class");
        EXPECT_EQ(testutil::AssertText([&] { f.RealGet("nothing"); }), "Uregistered class");

        BaseFactory::BaseElem* a = f.RealGet("worker");
        BaseFactory::BaseElem* b = f.RealGet("worker");
        EXPECT_NE(a, b);
        EXPECT_NE(dynamic_cast<Worker*>(a), nullptr);
        f.Deleter(a);
        EXPECT_EQ(f.RealGet("worker"), a) << "the idle instance comes back";
        f.Deleter(a);
        f.Deleter(b);
        EXPECT_EQ(f.RealGet("worker"), b) << "most recently returned first";
        EXPECT_EQ(f.RealGet("worker"), a);
        BaseFactory::BaseElem* o = f.RealGet("other");
        EXPECT_NE(dynamic_cast<Other*>(o), nullptr) << "each class its own pool";
        EXPECT_EQ(o->First(), &g_created);
        EXPECT_EQ(o->Second(), &g_destroyed);
        EXPECT_EQ(g_created, 3);
        f.Deleter(a);
        f.Deleter(b);
        f.Deleter(o);
        EXPECT_EQ(g_destroyed, 0);
    }
    EXPECT_EQ(g_destroyed, 3) << "the idle instances go with the factory";
}

TEST(Factory, PoolAcrossThreads) {
    g_created = g_destroyed = 0;
    BaseFactory f;
    f.RealRegister("worker", &NewWorker);
    const int kThreads = 8, kRounds = 5000;
    std::atomic<int> clashes{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                Worker* w = static_cast<Worker*>(f.RealGet("worker"));
                if (w->busy.exchange(true)) ++clashes;
                ++w->uses;  // unsynchronised on purpose: one holder at a time
                w->busy = false;
                f.Deleter(w);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(clashes, 0) << "an instance is never handed to two holders";
    EXPECT_LE(g_created, kThreads) << "instances are reused, not made per call";
    long uses = 0;
    std::vector<Worker*> all;
    for (int i = 0; i < g_created; ++i) all.push_back(static_cast<Worker*>(f.RealGet("worker")));
    for (Worker* w : all) uses += w->uses;
    EXPECT_EQ(uses, static_cast<long>(kThreads) * kRounds);
    for (Worker* w : all) f.Deleter(w);
}
