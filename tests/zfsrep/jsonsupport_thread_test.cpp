// Many threads list at once while the tools' lack of -j is being learnt:
// every answer is whole and the same, and -j is tried at most once per
// thread (only before the refusal is known).
#include "fakerunner.h"
#include "fixtures.h"
#include "jsonsupport.h"
#include "localqueries.h"
#include "tq2journals.h"
#include "zfsoutput.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(JsonSupportThreads, ConcurrentListingsLearnTheRefusalOnce)
{
    FakeRunner runner;
    runner.respond("zfs list -pj", 2, "", fixture("zfs/zfs-list-pj-2.2.stderr"));
    runner.respond("zpool list -pjo", 2, "", fixture("zfs/zpool-list-pjo-2.2.stderr"));
    runner.respond("zfs list -H -p -o", 0, fixture("zfs/zfs-list-Hp-spaces.stdout"));
    runner.respond("zpool list -H -p -o", 0, fixture("zfs/zpool-list-Hp-two-pools.stdout"));
    const QByteArray expected = QJsonDocument(ZfsOutput::poolMap(fixture("zfs/zfs-list-pj-spaces.stdout"),
                                                                 fixture("zfs/zpool-list-pjo-two-pools.stdout")))
                                    .toJson();
    ASSERT_GT(expected.size(), 100);

    JsonSupport support;
    constexpr int kThreads = 8, kRounds = 25;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int round = 0; round < kRounds; ++round) {
                TQ2Journals journals;
                QJsonObject pools;
                if (!LocalQueries(runner, nullptr, &support).alload(journals, pools)
                    || QJsonDocument(pools).toJson() != expected)
                    wrong.fetch_add(1);
            }
        });
    }
    for (std::thread &thread : threads)
        thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(support.state(), JsonSupport::State::Refused);
    const QStringList lines = runner.runLines();
    EXPECT_EQ(lines.size() - lines.filter("-pj").size(), 2 * kThreads * kRounds) << "every call read both text listings";
    EXPECT_GE(lines.filter("zfs list -pj").size(), 1);
    EXPECT_LE(lines.filter("zfs list -pj").size(), kThreads);
    EXPECT_EQ(lines.filter("zpool list -pjo").size(), 0) << "the datasets' refusal already told";
}

} // namespace
