// Schema version and upgrade steps of TQ2DBSqlite.
#include "tq2dbsqlite.h"

#include "tq2utils.h"

namespace {

bool hasStepsFor(const QJsonObject &catalogue, int version)
{
    const QString prefix = QStringLiteral("dbupgrade_v%1_").arg(version);
    for (auto it = catalogue.constBegin(); it != catalogue.constEnd(); ++it) {
        if (it.key().startsWith(prefix))
            return true;
    }
    return false;
}

// The stored version (0 when the row is missing) in `version`; false when
// it cannot be read at all (the table or the file is unusable).
bool readVersion(TQ2DBSqlite &db, int &version)
{
    int changes = 0;
    int lastId = 0;
    QList<QJsonObject> rows;
    version = 0;
    if (!db.exec(changes, lastId, rows,
                 QStringLiteral("SELECT cfg_value FROM sys_configure WHERE cfg_key = 'Database.Version' LIMIT 1;")))
        return false;
    if (!rows.isEmpty())
        version = toInt(rows.first().value(QLatin1String("cfg_value")));
    return true;
}

} // namespace

int TQ2DBSqlite::dbVersion()
{
    int changes = 0;
    int lastId = 0;
    QList<QJsonObject> rows;
    if (!exec(changes, lastId, rows,
              QStringLiteral("SELECT * FROM sys_configure WHERE cfg_key = 'Database.Version' LIMIT 1;"))
        || rows.isEmpty())
        return 0;
    return toInt(rows.first().value(QLatin1String("cfg_value")));
}

bool TQ2DBSqlite::dbUpgradable(int version) const
{
    return hasStepsFor(sqlEngine(), version);
}

// Runs "dbupgrade_v<version>_1", "_2", ... while the catalogue has them,
// counting each in `ran`; false at the first failing step.
bool TQ2DBSqlite::runUpgradeSteps(const QJsonObject &catalogue, int version, int &ran)
{
    const QString prefix = QStringLiteral("dbupgrade_v%1_").arg(version);
    for (int step = 1; catalogue.contains(prefix + QString::number(step)); ++step) {
        if (!call(prefix + QString::number(step), QJsonObject()))
            return false;
        ++ran;
    }
    return true;
}

bool TQ2DBSqlite::storeVersion(int version)
{
    int changes = 0;
    int lastId = 0;
    const QString sql = QStringLiteral("UPDATE sys_configure SET cfg_value = %1 "
                                       "WHERE cfg_key = 'Database.Version';").arg(version);
    if (!exec(changes, lastId, sql))
        return false;
    if (changes < 1)
        setLastError(QStringLiteral("no Database.Version row in sys_configure"));
    return changes >= 1;
}

QString TQ2DBSqlite::upgradeFailure() const
{
    return m_upgradeFailure;
}

bool TQ2DBSqlite::dbUpgrade(int version)
{
    const QJsonObject catalogue = sqlEngine();
    m_upgradeFailure.clear();
    if (!hasStepsFor(catalogue, version))
        return false;
    int ran = 0;
    const bool done = runFixed("begin immediate transaction") && runUpgradeSteps(catalogue, version, ran)
                      && ran > 0 && storeVersion(version + 1) && transactionCommit();
    if (done)
        return true;
    const QString reason = lastError();
    m_upgradeFailure = QStringLiteral("schema upgrade from version %1 failed: %2").arg(version).arg(reason);
    transactionRollback();
    setLastError(reason); // the rollback's own complaint must not hide why
    return false;
}

bool TQ2DBSqlite::dbUpgrades()
{
    const QJsonObject catalogue = sqlEngine();
    m_upgradeFailure.clear();
    auto fail = [this](const QString &what) {
        const QString reason = lastError();
        m_upgradeFailure = what + QStringLiteral(": ") + reason;
        transactionRollback();
        setLastError(reason);
        return false;
    };
    // A look without the lock first: with nothing to do, no writer waits.
    int version = 0;
    if (!readVersion(*this, version))
        return fail(QStringLiteral("cannot read the schema version"));
    if (version <= 0 || !hasStepsFor(catalogue, version))
        return false;
    if (!runFixed("begin immediate transaction"))
        return fail(QStringLiteral("schema upgrade from version %1 failed").arg(version));
    // Under the lock: another process may have upgraded meanwhile.
    if (!readVersion(*this, version))
        return fail(QStringLiteral("cannot read the schema version"));
    if (version <= 0 || !hasStepsFor(catalogue, version)) {
        transactionRollback();
        return false;
    }
    const QString what = QStringLiteral("schema upgrade from version %1 failed").arg(version);
    int ran = 0;
    while (hasStepsFor(catalogue, version)) {
        if (!runUpgradeSteps(catalogue, version, ran))
            return fail(what);
        if (ran == 0) {
            setLastError(QStringLiteral("no step dbupgrade_v%1_1").arg(version));
            return fail(what);
        }
        ++version;
    }
    if (!storeVersion(version) || !transactionCommit())
        return fail(what);
    return true;
}
