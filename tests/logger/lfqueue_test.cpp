#include "tq2lfqueue.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

// Counts live instances so the tests can see every queued value freed once.
struct Counted {
    static std::atomic<int> live;
    int value = -1;
    Counted() { ++live; }
    explicit Counted(int v) : value(v) { ++live; }
    Counted(const Counted &other) : value(other.value) { ++live; }
    Counted &operator=(const Counted &) = default;
    ~Counted() { --live; }
};
std::atomic<int> Counted::live{0};

TEST(TQ2LFQueue, EmptyQueueLeavesValueUntouched)
{
    TQ2LFQueue<QByteArray> queue;
    EXPECT_TRUE(queue.isEmpty());
    QByteArray value = "keep";
    EXPECT_FALSE(queue.dequeue(value));
    EXPECT_EQ(value, "keep");
}

TEST(TQ2LFQueue, KeepsFirstInFirstOutAcrossRefills)
{
    TQ2LFQueue<QByteArray> queue;
    int next = 0;
    int expected = 0;
    // Uneven fill and drain rounds, long enough to recycle many dummies.
    for (int round = 0; round < 200; ++round) {
        for (int n = 0; n < round % 7 + 1; ++n)
            queue.enqueue(QByteArray::number(next++));
        EXPECT_FALSE(queue.isEmpty());
        for (int n = 0; n < round % 5 + 1; ++n) {
            QByteArray value;
            if (!queue.dequeue(value))
                break;
            ASSERT_EQ(value.toInt(), expected++);
        }
    }
    QByteArray value;
    while (queue.dequeue(value))
        ASSERT_EQ(value.toInt(), expected++);
    EXPECT_EQ(expected, next);
    EXPECT_TRUE(queue.isEmpty());
}

TEST(TQ2LFQueue, FreesEveryValueOnceDequeuedOrDestroyed)
{
    ASSERT_EQ(Counted::live.load(), 0);
    {
        TQ2LFQueue<Counted> queue;
        for (int n = 0; n < 1000; ++n)
            queue.enqueue(Counted(n));
        Counted out;
        for (int n = 0; n < 600; ++n) {
            ASSERT_TRUE(queue.dequeue(out));
            ASSERT_EQ(out.value, n);
        }
        // 400 queued, one dummy, at most a scan's worth of retired nodes.
        EXPECT_LE(Counted::live.load(), 1 + 400 + 1 + 64);
        EXPECT_GE(Counted::live.load(), 1 + 400 + 1);
    }
    EXPECT_EQ(Counted::live.load(), 0);
}

} // namespace
