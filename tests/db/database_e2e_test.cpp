// The mission database of the real zfsrep service on the testbed: its files
// are never readable by others, not even while the first start creates
// them, and a schema upgrade that cannot take the write lock stops start-up
// with one line saying why instead of serving from the old schema.
#include "service.h"
#include "tbharness.h"

#include "tq2dbsqlite.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringList>

#include <atomic>
#include <csignal>
#include <mutex>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const char kDirectory[] = "/tarn/etc/zfs";
const char kDatabase[] = "/tarn/etc/zfs/zfsrep.db";

QJsonObject config() { return QJsonObject{{"lpcid", "/tarn/run/zfsrep-e2e.sock"}, {"appname", "zfsrep"}}; }

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

class DatabaseFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        Service::resetState();
    }
    Service service;
};

TEST_F(DatabaseFiles, AreOwnerOnlyFromTheirFirstByte)
{
    ASSERT_TRUE(QDir().mkpath(kDirectory));
    const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, kDirectory, IN_CREATE | IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE), 0);
    std::atomic<bool> done{false};
    std::mutex mutex;
    QStringList wide;
    QStringList seen;
    // Every event on a database file is answered with an lstat at once:
    // a file created readable by others is caught while it is so.
    std::thread watcher([&] {
        alignas(inotify_event) char events[8192];
        while (!done.load()) {
            pollfd p{watch, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            const ssize_t n = ::read(watch, events, sizeof events);
            for (ssize_t at = 0; at < n;) {
                const auto *event = reinterpret_cast<const inotify_event *>(events + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                const QString name = event->len ? QString::fromLocal8Bit(event->name) : QString();
                if (!name.startsWith("zfsrep.db"))
                    continue;
                const mode_t mode = modeOf(QStringLiteral("%1/%2").arg(kDirectory, name));
                std::lock_guard<std::mutex> lock(mutex);
                seen.append(name);
                if (mode & 077)
                    wide.append(QStringLiteral("%1 %2").arg(name).arg(mode, 4, 8, QLatin1Char('0')));
            }
        }
    });
    service.start(config());
    const bool serving = service.waitUntilServing();
    done.store(true);
    watcher.join();
    ::close(watch);
    ASSERT_TRUE(serving) << service.output().toStdString();
    EXPECT_TRUE(seen.contains("zfsrep.db")) << "the watch saw no database file being made";
    EXPECT_TRUE(wide.isEmpty()) << "readable by others during the first start: " << wide.join(", ").toStdString();
    for (const char *suffix : {"", "-wal", "-shm"}) {
        SCOPED_TRACE(suffix);
        EXPECT_EQ(modeOf(QString::fromLatin1(kDatabase) + suffix), mode_t(0600));
    }
}

TEST_F(DatabaseFiles, AnUpgradeThatCannotTakeTheWriteLockStopsStartUp)
{
    // The service's own database, taken back to version 3.
    service.start(config());
    ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    ASSERT_EQ(service.stop(SIGTERM), 0);
    {
        TQ2DBSqlite db;
        ASSERT_TRUE(db.openOnly(kDatabase));
        int changes = 0;
        int lastId = 0;
        ASSERT_TRUE(db.exec(changes, lastId,
                            "DROP TABLE t_run; ALTER TABLE t_mission DROP COLUMN msn_ratelimit;"
                            " ALTER TABLE t_mission DROP COLUMN msn_keepsource;"
                            " ALTER TABLE t_mission DROP COLUMN msn_keeptarget;"
                            " ALTER TABLE t_mission DROP COLUMN msn_carry; ALTER TABLE t_mission DROP COLUMN msn_hook;"
                            " UPDATE sys_configure SET cfg_value = '3' WHERE cfg_key = 'Database.Version';"))
            << qPrintable(db.lastError());
        ASSERT_EQ(db.dbVersion(), 3);
    }

    // Another process's writer holds the lock past the busy time-out.
    TQ2DBSqlite holder;
    ASSERT_TRUE(holder.openOnly(kDatabase));
    int changes = 0;
    int lastId = 0;
    ASSERT_TRUE(holder.exec(changes, lastId, "BEGIN IMMEDIATE;")) << qPrintable(holder.lastError());
    Service blocked;
    blocked.start(config());
    EXPECT_EQ(blocked.waitForExit(120000), 255) << "the service came up on the old schema";
    const QByteArray output = blocked.output();
    EXPECT_TRUE(output.contains("zfsrep: cannot upgrade database /tarn/etc/zfs/zfsrep.db: schema upgrade from "
                                "version 3 failed: database is locked\n"))
        << output.toStdString();
    ASSERT_TRUE(holder.exec(changes, lastId, "ROLLBACK;"));
    EXPECT_EQ(holder.dbVersion(), 3) << "nothing of a failed upgrade stays";
    holder.close();

    // Once the lock is free the upgrade runs and the listing works.
    Service freed;
    freed.start(config());
    ASSERT_TRUE(freed.waitUntilServing()) << freed.output().toStdString();
    const Service::Call listing = freed.ctl("zfsrep_mission_alload");
    EXPECT_EQ(listing.exitCode, 0);
    EXPECT_EQ(listing.response.value("err").toInt(-1), 0);
    TQ2DBSqlite after;
    ASSERT_TRUE(after.openOnly(kDatabase));
    EXPECT_EQ(after.dbVersion(), 5);
}

} // namespace
