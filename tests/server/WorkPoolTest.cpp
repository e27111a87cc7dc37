// The work pool's lanes: writes waiting for their turn must not hold the threads the reads need.
#include <gtest/gtest.h>
#include <sched.h>

#include <chrono>
#include <future>
#include <latch>
#include <thread>

#include "server/WorkPool.h"

namespace age::server {
namespace {

using namespace std::chrono_literals;

// A job that holds its thread until the test opens the gate; `started` counts it in.
WorkPool::Job heldJob(std::shared_future<void> gate, std::latch& started) {
    return [gate, &started] {
        started.count_down();
        gate.wait();
    };
}

TEST(WorkPool, AReadRunsWhileTheWritesWaitForTheirTurn) {
    WorkPool pool(/*threads=*/2, /*maxQueued=*/16, /*writers=*/1);
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    std::latch writeStarted(1);
    ASSERT_TRUE(pool.trySubmit(heldJob(gate, writeStarted), Lane::Write));
    std::latch unused(1);
    ASSERT_TRUE(pool.trySubmit(heldJob(gate, unused), Lane::Write));  // queued behind the first write
    writeStarted.wait();

    std::promise<void> readDone;
    ASSERT_TRUE(pool.trySubmit([&] { readDone.set_value(); }, Lane::Read));
    // A hang guard, not a timing: with one queue for all, the second write would hold the reader for ever.
    EXPECT_EQ(readDone.get_future().wait_for(30s), std::future_status::ready);
    // The reader counts itself out just after its job returns.
    for (auto until = std::chrono::steady_clock::now() + 10s;
         pool.running() > 1 && std::chrono::steady_clock::now() < until;)
        std::this_thread::yield();
    EXPECT_EQ(pool.running(), 1);
    EXPECT_EQ(pool.queued(), 1u);
    EXPECT_FALSE(pool.idle());  // network threads poll only when it is
    open.set_value();
}

TEST(WorkPool, WithoutWriterThreadsEveryThreadTakesWritesAndAtLeastOneReaderIsLeft) {
    WorkPool shared(/*threads=*/2, /*maxQueued=*/16, /*writers=*/0);
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    std::latch bothStarted(2);
    ASSERT_TRUE(shared.trySubmit(heldJob(gate, bothStarted), Lane::Write));
    ASSERT_TRUE(shared.trySubmit(heldJob(gate, bothStarted), Lane::Write));
    bothStarted.wait();  // would hang if writes waited for a writer thread there is none of
    open.set_value();

    WorkPool single(/*threads=*/1, /*maxQueued=*/16, /*writers=*/1);
    EXPECT_EQ(single.writers(), 0);
    EXPECT_TRUE(single.idle());
    std::promise<void> writeDone;
    ASSERT_TRUE(single.trySubmit([&] { writeDone.set_value(); }, Lane::Write));
    EXPECT_EQ(writeDone.get_future().wait_for(30s), std::future_status::ready);
}

TEST(WorkPool, TheQueueBoundCountsBothLanes) {
    WorkPool pool(/*threads=*/2, /*maxQueued=*/2, /*writers=*/1);
    std::promise<void> open;
    std::shared_future<void> gate = open.get_future().share();
    std::latch bothStarted(2);
    ASSERT_TRUE(pool.trySubmit(heldJob(gate, bothStarted), Lane::Write));
    ASSERT_TRUE(pool.trySubmit(heldJob(gate, bothStarted), Lane::Read));
    bothStarted.wait();
    std::latch later(2);
    EXPECT_TRUE(pool.trySubmit(heldJob(gate, later), Lane::Write));
    EXPECT_TRUE(pool.trySubmit(heldJob(gate, later), Lane::Read));
    EXPECT_FALSE(pool.trySubmit([] {}, Lane::Read));
    EXPECT_FALSE(pool.trySubmit([] {}, Lane::Write));
    open.set_value();  // the pool runs what it queued before it goes
}

// A worker woken for a call must not preempt the network thread that handed it out.
TEST(WorkPool, BothLanesRunAsBatchThreads) {
    bool allowed = false;
    std::thread([&] {
        const sched_param batch{};
        allowed = sched_setscheduler(0, SCHED_BATCH, &batch) == 0;
    }).join();
    if (!allowed) GTEST_SKIP() << "this machine refuses SCHED_BATCH";
    WorkPool pool(/*threads=*/2, /*maxQueued=*/4, /*writers=*/1);
    std::promise<int> read, write;
    ASSERT_TRUE(pool.trySubmit([&] { read.set_value(sched_getscheduler(0)); }, Lane::Read));
    ASSERT_TRUE(pool.trySubmit([&] { write.set_value(sched_getscheduler(0)); }, Lane::Write));
    EXPECT_EQ(read.get_future().get(), SCHED_BATCH);
    EXPECT_EQ(write.get_future().get(), SCHED_BATCH);
    EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);  // the thread that made the pool keeps its policy
}

}  // namespace
}  // namespace age::server
