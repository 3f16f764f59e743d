#include "qmtarnlog.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QTemporaryDir>

#include <atomic>
#include <thread>
#include <vector>

namespace {

QJsonObject detail(int n)
{
    return QJsonObject{{"caption", QString("m%1").arg(n)}, {"action", 1}, {"result", 1}};
}

TEST(QmTarnlog, WritesLoadsAndClearsPerApplication)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QmTarnlog log(dir.filePath("nested/dir/tarnlog.db"));
    log.write("Information", "GLOG_ZFSREP_SENDPOOL: tank/data SEND backup", detail(1), "zfsrep", "SYSTEM", "", "");
    log.write("Error", "other service", QJsonObject{{"x", 1}}, "vault", "SYSTEM", "two", "three");
    log.write("Error", "GLOG_ZFSREP_RECVPOOL: tank/data RECV backup/data", detail(2), "zfsrep", "SYSTEM", "", "");

    QJsonArray records{QJsonObject{{"kept", true}}};
    ASSERT_TRUE(log.loadByApp(records, "zfsrep"));
    ASSERT_EQ(records.size(), 3); // the element already there stays
    const QJsonObject newest = records.at(1).toObject();
    EXPECT_EQ(newest.value("level").toString(), "Error");
    EXPECT_EQ(newest.value("application").toString(), "zfsrep");
    EXPECT_EQ(newest.value("module").toString(), "SYSTEM");
    EXPECT_TRUE(newest.value("time").toString().size() == 19);
    const QJsonObject spare = QJsonDocument::fromJson(newest.value("sparefield1").toString().toUtf8()).object();
    EXPECT_EQ(spare, detail(2));
    EXPECT_TRUE(newest.contains("sparefield2"));
    EXPECT_GT(newest.value("id").toInt(), records.at(2).toObject().value("id").toInt());

    ASSERT_TRUE(log.clearByApp("zfsrep"));
    QJsonArray after;
    ASSERT_TRUE(log.loadByApp(after, "zfsrep"));
    EXPECT_TRUE(after.isEmpty());
    QJsonArray other;
    ASSERT_TRUE(log.loadByApp(other, "vault"));
    ASSERT_EQ(other.size(), 1);
    EXPECT_EQ(other.at(0).toObject().value("sparefield3").toString(), "three");
}

TEST(QmTarnlog, KeepsTheNewestRecordsPerApplication)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QmTarnlog log(dir.filePath("tarnlog.db"));
    const int total = QmTarnlog::kMaxRecordsPerApplication + 25;
    for (int i = 0; i < total; ++i)
        log.write("Information", QString("event %1").arg(i), detail(i), "zfsrep", "SYSTEM", "", "");
    log.write("Information", "lone", detail(0), "vault", "SYSTEM", "", "");
    QJsonArray records;
    ASSERT_TRUE(log.loadByApp(records, "zfsrep"));
    ASSERT_EQ(records.size(), QmTarnlog::kMaxRecordsPerApplication);
    EXPECT_EQ(records.first().toObject().value("message").toString(), QString("event %1").arg(total - 1));
    EXPECT_EQ(records.last().toObject().value("message").toString(), "event 25");
    QJsonArray vault;
    ASSERT_TRUE(log.loadByApp(vault, "vault"));
    EXPECT_EQ(vault.size(), 1);
}

TEST(QmTarnlog, UnusablePathFailsLoadAndClear)
{
    QmTarnlog log("/proc/version/not-a-dir/tarnlog.db");
    log.write("Error", "lost", detail(1), "zfsrep", "SYSTEM", "", "");
    QJsonArray records{1};
    EXPECT_FALSE(log.loadByApp(records, "zfsrep"));
    EXPECT_EQ(records, QJsonArray{1});
    EXPECT_FALSE(log.clearByApp("zfsrep"));
}

TEST(QmTarnlog, WritersAndReadersOnSeveralThreads)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QmTarnlog log(dir.filePath("tarnlog.db"));
    constexpr int kWriters = 4;
    constexpr int kPerWriter = 100;
    std::atomic<bool> readFailed{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&log, w] {
            for (int i = 0; i < kPerWriter; ++i)
                log.write("Information", QString("w%1-%2").arg(w).arg(i), detail(i), "zfsrep", "SYSTEM", "", "");
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 50; ++i) {
            QJsonArray records;
            if (!log.loadByApp(records, "zfsrep"))
                readFailed = true;
        }
    });
    for (std::thread &t : threads)
        t.join();
    EXPECT_FALSE(readFailed);
    QJsonArray records;
    ASSERT_TRUE(log.loadByApp(records, "zfsrep"));
    EXPECT_EQ(records.size(), kWriters * kPerWriter);
}

} // namespace
