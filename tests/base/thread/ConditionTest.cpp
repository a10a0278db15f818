#include "base/Exception.h"
#include "base/thread/Condition.h"
#include "base/thread/Mutex.h"
#include "base/thread/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include "support/TestThreads.h"

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

using namespace ostrel;
using ostrel::testing::eventually;
using ostrel::testing::FunctionThread;


TEST(MutexTest, IsRecursiveAndTracksItsOwner) {
    Mutex mutex;
    EXPECT_FALSE(mutex.isHeldByCurrentThread());
    mutex.lock();
    mutex.lock();
    EXPECT_TRUE(mutex.isHeldByCurrentThread());
    mutex.unlock();
    EXPECT_TRUE(mutex.isHeldByCurrentThread());

    bool otherGotIt = true;
    FunctionThread other([&] { otherGotIt = mutex.tryLock(); });
    other.start();
    other.join();
    EXPECT_FALSE(otherGotIt);

    mutex.unlock();
    EXPECT_FALSE(mutex.isHeldByCurrentThread());
}

TEST(MutexTest, UnlockWithoutOwningIsRefused) {
    Mutex mutex;
    try {
        mutex.unlock();
        FAIL() << "unlock of an unowned mutex must fail";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.code(), EPERM);
    }
    // Still usable afterwards.
    Mutex::ScopedLock lock(mutex);
    EXPECT_TRUE(mutex.isHeldByCurrentThread());
}

TEST(MutexTest, ScopedLocksExcludeEachOther) {
    Mutex mutex;
    long counter = 0;
    std::vector<std::unique_ptr<FunctionThread>> threads;
    for (int t = 0; t < 4; ++t) {
        threads.push_back(std::make_unique<FunctionThread>([&] {
            for (int i = 0; i < 20000; ++i) {
                Mutex::ScopedLock lock(mutex);
                Mutex::ScopedLock again(mutex);
                ++counter;
            }
        }));
    }
    for (auto& thread : threads) {
        thread->start();
    }
    for (auto& thread : threads) {
        thread->join();
    }
    EXPECT_EQ(counter, 80000);
}

TEST(ConditionTest, ANotifyWithNoWaiterIsLost) {
    Mutex mutex;
    Condition condition(mutex);
    condition.notify();
    condition.notifyAll();
    Mutex::ScopedLock lock(mutex);
    EXPECT_FALSE(condition.wait(20));
}

TEST(ConditionTest, TimedWaitRunsOutWithoutANotify) {
    Mutex mutex;
    Condition condition(mutex);
    Mutex::ScopedLock lock(mutex);
    EXPECT_FALSE(condition.wait(0));
    EXPECT_FALSE(condition.wait(5));
    EXPECT_TRUE(mutex.isHeldByCurrentThread());
}

TEST(ConditionTest, WaitWithoutTheMutexIsRefused) {
    Mutex mutex;
    Condition condition(mutex);
    EXPECT_THROW(condition.wait(), SystemException);
    EXPECT_THROW(condition.wait(1), SystemException);
}

TEST(ConditionTest, NotifyWakesAWaiterThatReleasedEveryLevelOfTheMutex) {
    Mutex mutex;
    Condition condition(mutex);
    std::atomic<bool> waiting{false};
    bool woken = false;
    int depthAfter = 0;
    FunctionThread waiter([&] {
        Mutex::ScopedLock outer(mutex);
        Mutex::ScopedLock inner(mutex);
        waiting = true;
        woken = condition.wait(10000);
        // Both levels are held again: two unlocks succeed, a third would fail.
        depthAfter = mutex.isHeldByCurrentThread() ? 2 : 0;
    });
    waiter.start();
    ASSERT_TRUE(eventually([&] { return waiting.load(); }));
    // The waiter held the mutex twice; the notifier must still get it.
    ASSERT_TRUE(eventually([&] {
        if (!mutex.tryLock()) {
            return false;
        }
        mutex.unlock();
        return true;
    }));
    condition.notify();
    waiter.join();
    EXPECT_TRUE(woken);
    EXPECT_EQ(depthAfter, 2);
}

TEST(ConditionTest, EachNotifyWakesItsOwnWaiter) {
    // Two notifies in a row with two waiters must wake both, not merge into one.
    Mutex mutex;
    Condition condition(mutex);
    std::atomic<int> woken{0};
    int waiters = 0;
    std::vector<std::unique_ptr<FunctionThread>> threads;
    for (int i = 0; i < 2; ++i) {
        threads.push_back(std::make_unique<FunctionThread>([&] {
            Mutex::ScopedLock lock(mutex);
            ++waiters;
            if (condition.wait(10000)) {
                ++woken;
            }
        }));
        threads.back()->start();
    }
    ASSERT_TRUE(eventually([&] {
        Mutex::ScopedLock lock(mutex);
        return waiters == 2;
    }));
    {
        Mutex::ScopedLock lock(mutex);
        condition.notify();
        condition.notify();
    }
    for (auto& thread : threads) {
        thread->join();
    }
    EXPECT_EQ(woken.load(), 2);
}

TEST(ConditionTest, NotifyAllWakesEveryWaiter) {
    Mutex mutex;
    Condition condition(mutex);
    std::atomic<int> woken{0};
    int waiters = 0;
    std::vector<std::unique_ptr<FunctionThread>> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(std::make_unique<FunctionThread>([&] {
            Mutex::ScopedLock lock(mutex);
            ++waiters;
            if (condition.wait(10000)) {
                ++woken;
            }
        }));
        threads.back()->start();
    }
    ASSERT_TRUE(eventually([&] {
        Mutex::ScopedLock lock(mutex);
        return waiters == 4;
    }));
    condition.notifyAll();
    for (auto& thread : threads) {
        thread->join();
    }
    EXPECT_EQ(woken.load(), 4);
}

TEST(ConditionTest, AWakeUpCannotBeTakenByAThreadThatWaitsAgain) {
    // Every waiter, once woken, waits again at once. Each must still get its own
    // wake-up from the first notifyAll(), not lose it to a quicker neighbour.
    Mutex mutex;
    Condition condition(mutex);
    constexpr int Waiters = 4;
    std::atomic<int> firstWokenTrue{0};
    std::atomic<int> firstWaitsDone{0};
    int waiting = 0;
    std::vector<std::unique_ptr<FunctionThread>> threads;
    for (int i = 0; i < Waiters; ++i) {
        threads.push_back(std::make_unique<FunctionThread>([&] {
            Mutex::ScopedLock lock(mutex);
            ++waiting;
            if (condition.wait(10000)) {
                ++firstWokenTrue;
            }
            ++firstWaitsDone;
            condition.wait(10000);
        }));
        threads.back()->start();
    }
    ASSERT_TRUE(eventually([&] {
        Mutex::ScopedLock lock(mutex);
        return waiting == Waiters;
    }));
    condition.notifyAll();
    ASSERT_TRUE(eventually([&] { return firstWaitsDone.load() == Waiters; }));
    EXPECT_EQ(firstWokenTrue.load(), Waiters);
    // Release the second waits (bounded by their own timeout in any case).
    ASSERT_TRUE(eventually([&] {
        condition.notifyAll();
        Mutex::ScopedLock lock(mutex);
        return true;
    }));
    for (auto& thread : threads) {
        thread->join();
    }
}

TEST(ConditionTest, NotifyWakesTheOldestWaiterOnly) {
    Mutex mutex;
    Condition condition(mutex);
    std::atomic<int> order{0};
    std::atomic<int> firstResult{-1};
    std::atomic<int> secondResult{-1};
    int waiting = 0;
    FunctionThread first([&] {
        Mutex::ScopedLock lock(mutex);
        ++waiting;
        firstResult = condition.wait(10000) ? ++order : 0;
    });
    first.start();
    ASSERT_TRUE(eventually([&] {
        Mutex::ScopedLock lock(mutex);
        return waiting == 1;
    }));
    FunctionThread second([&] {
        Mutex::ScopedLock lock(mutex);
        ++waiting;
        secondResult = condition.wait(10000) ? ++order : 0;
    });
    second.start();
    ASSERT_TRUE(eventually([&] {
        Mutex::ScopedLock lock(mutex);
        return waiting == 2;
    }));
    condition.notify();
    first.join();
    EXPECT_EQ(firstResult.load(), 1);
    EXPECT_EQ(secondResult.load(), -1); // still waiting
    condition.notify();
    second.join();
    EXPECT_EQ(secondResult.load(), 2);
}
