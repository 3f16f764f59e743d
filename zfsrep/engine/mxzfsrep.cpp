// Construction, destruction and the seams that tests and the testbed use.
#include "mxzfsrep.h"

#include "qmtarnlog.h"
#include "sshcontrol.h"
#include "runhistory.h"
#include "tq2dbsqlite.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"

#include <QThread>

// The statement resources live in a static library: register them explicitly,
// since nothing else references the object that would register them.
static void registerResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(zfsrep);
        return true;
    }();
    Q_UNUSED(registered);
}

const QString MXZfsrep::kDatabasePath = QStringLiteral("/tarn/etc/zfs/zfsrep.db");
const QString MXZfsrep::kApplication = QStringLiteral("zfsrep");

MXZfsrep::MXZfsrep(QObject *parent)
    : QObject(parent),
      database(std::make_unique<TQ2DBSqlite>()),
      tarnlog(std::make_unique<QmTarnlog>()),
      processRunner(std::make_shared<QProcessRunner>()),
      clock([] { return QDateTime::currentDateTime(); }),
      databasePath(kDatabasePath),
      sshControlDirectory(SshControl::defaultDirectory())
{
    registerResources();
    history = std::make_unique<RunHistory>(*database);
}

MXZfsrep::~MXZfsrep()
{
    // A running transfer is cancelled so the thread ends in bounded time.
    while (running.load()) {
        stopping = true;
        cancelled = true;
        QThread::msleep(50);
    }
    stopMetricsThread();
}

void MXZfsrep::setRunner(std::shared_ptr<ProcessRunner> runner) { processRunner = std::move(runner); }

void MXZfsrep::setClock(std::function<QDateTime()> newClock) { clock = std::move(newClock); }

void MXZfsrep::setTickInterval(int ms) { tickMs = ms; }

void MXZfsrep::setDatabasePath(const QString &path) { databasePath = path; }

void MXZfsrep::setEventLogPath(const QString &path) { tarnlog = std::make_unique<QmTarnlog>(path); }

QDateTime MXZfsrep::now() const { return clock(); }

QJsonObject MXZfsrep::progress() const
{
    std::lock_guard<std::mutex> lock(progressLock);
    return progressObject;
}

RunRecord MXZfsrep::runningRecord() const
{
    std::lock_guard<std::mutex> lock(progressLock);
    return currentRun;
}

QHash<int, qint64> MXZfsrep::dueTimes() const
{
    // An element-wise copy: the caller's hash shares no data with the table,
    // so the scheduler's later changes never touch memory the caller reads.
    std::lock_guard<std::mutex> lock(missionsLock);
    QHash<int, qint64> copy;
    for (auto it = dueTable.constBegin(); it != dueTable.constEnd(); ++it)
        copy.insert(it.key(), it.value());
    return copy;
}

void MXZfsrep::journalDatabaseFailure(TQ2Journals &journals, const QString &place) const
{
    journals.add(place, TQ2Error::ERR_SQLERROR, database->lastSqlid(), false, database->lastError(), QString());
}

void MXZfsrep::publishProgress(const QString &speed, int rate)
{
    std::lock_guard<std::mutex> lock(progressLock);
    progressObject.insert(QStringLiteral("speed"), speed);
    progressObject.insert(QStringLiteral("rate"), rate);
}
