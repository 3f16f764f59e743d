#include "tq2lfqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

QByteArray item(quint32 producer, quint32 seq)
{
    const quint64 v = (quint64(producer) << 32) | seq;
    return QByteArray(reinterpret_cast<const char *>(&v), sizeof v);
}

void split(const QByteArray &bytes, quint32 &producer, quint32 &seq)
{
    quint64 v = 0;
    std::memcpy(&v, bytes.constData(), sizeof v);
    producer = quint32(v >> 32);
    seq = quint32(v);
}

// Producers enqueue numbered items while consumers drain. Every item must
// arrive exactly once, and each consumer must see every producer's items in
// increasing order (a FIFO queue cannot reorder one producer's items).
void runStress(int producers, int perProducer, int consumers)
{
    TQ2LFQueue<QByteArray> queue;
    std::atomic<int> producersLeft{producers};
    std::vector<std::vector<int>> seen(consumers, std::vector<int>(producers, -1));
    std::vector<std::vector<char>> received(producers, std::vector<char>(perProducer, 0));
    std::atomic<long> total{0};
    std::atomic<bool> failed{false};

    std::vector<std::thread> threads;
    for (int c = 0; c < consumers; ++c) {
        threads.emplace_back([&, c] {
            QByteArray value;
            for (;;) {
                const bool done = producersLeft.load() == 0;
                if (!queue.dequeue(value)) {
                    if (done)
                        return;
                    std::this_thread::yield();
                    continue;
                }
                quint32 p = 0, s = 0;
                split(value, p, s);
                if (int(p) >= producers || int(s) >= perProducer || int(s) <= seen[c][p]) {
                    failed = true;
                    return;
                }
                seen[c][p] = int(s);
                received[p][s] = 1; // each slot written by one consumer only
                ++total;
            }
        });
    }
    for (int p = 0; p < producers; ++p) {
        threads.emplace_back([&, p] {
            for (int s = 0; s < perProducer; ++s)
                queue.enqueue(item(quint32(p), quint32(s)));
            --producersLeft;
        });
    }
    for (auto &t : threads)
        t.join();

    ASSERT_FALSE(failed.load()) << "an item arrived twice, out of order or corrupted";
    EXPECT_EQ(total.load(), long(producers) * perProducer);
    for (int p = 0; p < producers; ++p)
        for (int s = 0; s < perProducer; ++s)
            ASSERT_TRUE(received[p][s]) << "lost item " << p << "/" << s;
    EXPECT_TRUE(queue.isEmpty());
}

TEST(TQ2LFQueueStress, ManyProducersOneConsumer)
{
    runStress(4, 50000, 1);
}

TEST(TQ2LFQueueStress, ManyProducersManyConsumers)
{
    runStress(4, 25000, 3);
}

} // namespace
