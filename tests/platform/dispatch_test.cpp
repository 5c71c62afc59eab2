#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "common/TestUtil.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"

using namespace oq;

TEST(Dispatch, MainHandOffsRunOnMainThreadInOrder)
{
    std::vector<int> order;
    std::atomic<bool> syncRanOnMain{false};
    dispatchBackground([&] {
        dispatchMainAsync([&] { order.push_back(1); });
        dispatchMainSync([&] {
            syncRanOnMain = isMainThread();
            order.push_back(2);
        });
        // The synchronous hand-off has run by the time it returns.
        dispatchMainAsync([&] { order.push_back(order.size() == 2 ? 3 : -1); });
    });
    ASSERT_TRUE(test::waitUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(syncRanOnMain);
}

TEST(Dispatch, SyncOnMainThreadRunsInline)
{
    bool ran = false;
    dispatchMainSync([&] { ran = true; });
    EXPECT_TRUE(ran);
}

TEST(Dispatch, DelayedHandOffFollowsTheClockScale)
{
    clock::setScale(0.01);
    bool ran = false;
    dispatchMainAfter(1.0, [&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(test::waitUntil([&] { return ran; }, 5));
    clock::setScale(1.0);
}

TEST(Dispatch, SerialQueueKeepsOrderAndSyncIsReentrant)
{
    SerialQueue q(QStringLiteral("test.serial"));
    std::vector<int> seen;
    for (int i = 0; i < 100; ++i)
        q.async([&seen, i] { seen.push_back(i); });
    bool inner = false;
    q.sync([&] {
        EXPECT_TRUE(q.isCurrent());
        EXPECT_EQ(SerialQueue::currentLabel(), QStringLiteral("test.serial"));
        q.sync([&] { inner = true; }); // must not deadlock
    });
    EXPECT_TRUE(inner);
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[size_t(i)], i);
    EXPECT_FALSE(q.isCurrent());
}

TEST(Clock, ScaleShortensSpansAndIgnoresNonsense)
{
    clock::setScale(0.5);
    EXPECT_EQ(clock::scaledMs(2.0), 1000);
    EXPECT_EQ(clock::scaledMs(-1), 0);
    clock::setScale(0);
    EXPECT_DOUBLE_EQ(clock::scale(), 1.0);
}
