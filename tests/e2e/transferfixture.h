// Fixture of the end-to-end transfer tests: an engine driven in-process on the
// testbed (its database and event log in a scratch directory, a clock the
// test sets, the real process runner), mission records shaped like the rows
// the scheduler reads, and the clean-up that leaves the testbed as it was
// found (only tank/data on the local side, an empty pool backup on both
// remote hosts, no fault knobs).
#pragma once

#include "../zfsrep/missiondriver.h"
#include "mxzfsrep.h"
#include "tq2journals.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <functional>
#include <ostream>
#include <memory>
#include <mutex>

// Readable failure messages: names as text, digests as "file=abcdef012345".
inline void PrintTo(const QString &text, std::ostream *os) { *os << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QMap<QString, QByteArray> &digests, std::ostream *os)
{
    *os << '{';
    for (auto it = digests.constBegin(); it != digests.constEnd(); ++it)
        *os << (it == digests.constBegin() ? "" : ", ") << it.key().toStdString() << '=' << it.value().left(12).constData();
    *os << '}';
}

class TransferE2e : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // The engine's clock reads this moment until it is set again.
    void setNow(const QDateTime &moment);
    void setNow(const QTime &time) { setNow(QDateTime(kDay, time)); }

    // A mission of `action` on the testbed's endpoint, the password the real
    // one, the series "ZFSREP", no erase, no schedules; `overrides` replaces
    // any of its fields. The port is text, as the mission table keeps it.
    static QJsonObject mission(int action, const QJsonObject &overrides = QJsonObject());
    // The same mission pointed at the testbed's second remote host.
    static QJsonObject onHost2(QJsonObject mission);
    // Appends through the engine (schedules as a JSON array) and returns the
    // mission number, 0 on failure.
    int append(const QJsonObject &mission);
    // The mission's row as the scheduler reads it.
    QJsonObject row(int msnno);
    // The event-log listing (detail merged in), newest first.
    QJsonArray events();
    // Everything the journal holds, as JSON text (to search for a password).
    static QByteArray journalText(const TQ2Journals &journals);
    // True when a segment's action contains `action` and its message `message`.
    static bool hasSegment(const TQ2Journals &journals, const QString &action, const QString &message);

    // Creates the local file system tank/<name> with a few files of its own.
    static void makeLocalDataset(const QString &name, quint32 seed);
    // Creates the remote file system backup/<name> (files owned by the test user).
    static void makeRemoteDataset(const QString &name);
    // Writes a random file into a remote dataset, owned by the test user.
    static void writeRemoteFile(const QString &dataset, const QString &file, qint64 size, quint32 seed);
    // Digest of the files of a dataset (or snapshot) on either side.
    static QMap<QString, QByteArray> localDigest(const QString &dataset);
    static QMap<QString, QByteArray> remoteDigest(const QString &dataset);
    static QMap<QString, QByteArray> remote2Digest(const QString &dataset);
    // The parts after "@" of a dataset's snapshots, oldest first.
    static QStringList localSnapshotNames(const QString &dataset);
    static QStringList remoteSnapshotNames(const QString &dataset);
    static QStringList remote2SnapshotNames(const QString &dataset);
    static QString localProperty(const QString &dataset, const QString &property);
    static QString remoteProperty(const QString &dataset, const QString &property);

    // Runs `kind` and cancels its run `delayMs` after it started; how long
    // the run took after the cancel (ms), -1 when it never came. `ok` is the
    // run's result, `journal` its journal text.
    qint64 cancelledAfter(int delayMs, const std::function<bool(TQ2Journals &)> &kind, bool &ok, QByteArray &journal);

    // Polls `condition` every 100 ms for at most `timeoutMs`.
    static bool eventually(const std::function<bool()> &condition, int timeoutMs = 30000);

    static const QDate kDay;
    QString scratch;
    std::unique_ptr<MXZfsrep> engine;
    std::unique_ptr<MissionDriver> drive;
    TQ2Journals journals;

private:
    std::mutex clockMutex;
    QDateTime clockNow;
};
