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
    return exec(changes, lastId, sql) && changes >= 1;
}

bool TQ2DBSqlite::dbUpgrade(int version)
{
    const QJsonObject catalogue = sqlEngine();
    transactionBegin();
    int ran = 0;
    if (!runUpgradeSteps(catalogue, version, ran) || ran == 0 || !storeVersion(version + 1)
        || !transactionCommit()) {
        transactionRollback();
        return false;
    }
    return true;
}

bool TQ2DBSqlite::dbUpgrades()
{
    const QJsonObject catalogue = sqlEngine();
    int version = dbVersion();
    transactionBegin();
    if (version <= 0) {
        transactionRollback();
        return false;
    }
    int ran = 0;
    while (hasStepsFor(catalogue, version)) {
        if (!runUpgradeSteps(catalogue, version, ran) || ran == 0) {
            transactionRollback();
            return false;
        }
        ++version;
    }
    if (ran == 0 || !storeVersion(version) || !transactionCommit()) {
        transactionRollback();
        return false;
    }
    return true;
}
