// Export and restore missions: the replication stream of a new snapshot
// written gzip-compressed to "<dir>/<dataset>@<snap>.gz.zsa", and such a file
// received back into a pool.
#include "mxzfsrep.h"

#include "enginereport.h"
#include "missionfields.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"
#include "transfercommands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

const QString kPartSuffix = QStringLiteral(".part");

} // namespace

QString MXZfsrep::exportFilePath(const QString &directory, const QString &snapshot)
{
    QString name = snapshot;
    name.remove(QLatin1Char(':'));
    return QDir(directory).absoluteFilePath(name + QStringLiteral(".gz.zsa"));
}

QString MXZfsrep::restoreDatasetName(const QString &name, const QString &file)
{
    if (!name.isEmpty())
        return name;
    const QString fileName = QFileInfo(file).fileName();
    const int at = fileName.indexOf(QLatin1Char('@'));
    return at > 0 ? fileName.left(at) : QString();
}

bool MXZfsrep::sendFile(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString dataset = MissionFields::dataset(mission);
    const QString directory = MissionFields::text(mission, "path");
    const QString series = MissionFields::text(mission, "snapname");
    const QString snapshot = newSnapshotName(dataset, series);
    bool result = false;
    QStringList snapshots;
    if (snapshotCreate(journals, snapshot, dataset) && snapshotAllist(journals, snapshots, dataset)
        && !snapshots.isEmpty()) {
        const QString newest = snapshots.last();
        const QString file = exportFilePath(directory, newest);
        QDir().mkpath(QFileInfo(file).absolutePath());
        const qint64 size = snapshotSize(journals, newest, QString());
        // The stream goes to a temporary name and takes the final one only
        // when complete, so a failed export never leaves a partial file.
        const QString partial = file + kPartSuffix;
        const QString command = TransferCommands::exportToFile(newest, size, partial);
        QString speed = QStringLiteral("0B/s");
        int rate = 0;
        const StageOutcome stage = runStage(command, QString(), true, [&](QByteArray &buffer) {
            takeProgress(speed, rate, buffer);
            publishProgress(speed, rate);
        });
        if (!stage.succeeded) {
            QFile::remove(partial);
            EngineReport::commandFailed(journals, TQ2PLACE(), command, stage.errorText);
        } else if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(file).constData()) != 0) {
            QFile::remove(partial);
            EngineReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("rename ") + partial,
                               QStringLiteral("cannot rename the export to ") + file);
        } else {
            rate = 100;
            publishProgress(speed, rate);
            result = true;
            if (toBool(mission.value(QStringLiteral("erase"))))
                eraseOlderSeries(journals, dataset, series, snapshot);
        }
    }
    writeEvent(result, QStringLiteral("GLOG_ZFSREP_SENDFILE"), dataset, QStringLiteral(" SEND "), mission, 3, dataset,
               directory);
    return result;
}

bool MXZfsrep::recvFile(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString pool = MissionFields::text(mission, "pool");
    const QString file = MissionFields::text(mission, "path");
    const QString name = restoreDatasetName(MissionFields::text(mission, "name"), file);
    const QString dataset = pool + QLatin1Char('/') + name;
    bool result = false;
    QJsonObject pools;
    if (name.isEmpty()) {
        // Without a name the target would be the pool itself plus "/".
        journals.setErr(TQ2Error::ERR_PARAMS, QStringLiteral("参数无效: name"));
    } else if (alload(journals, pools)) {
        if (!pools.contains(pool)) {
            journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("需要恢复的pool不存在: ") + pool);
        } else {
            const QJsonObject items = pools.value(pool).toObject().value(QStringLiteral("items")).toObject();
            const qint64 size = QFileInfo(file).size();
            result = receiveReplacing(journals, pool, name, items, [&](const QString &incoming) {
                const QString command = TransferCommands::restoreFromFile(file, size, incoming);
                QString speed = QStringLiteral("0B/s");
                int rate = 0;
                const StageOutcome stage = runStage(command, QString(), true, [&](QByteArray &buffer) {
                    takeProgress(speed, rate, buffer);
                    publishProgress(speed, rate);
                    TQ2TRACE("startRate+currentRate", rate);
                });
                if (!stage.succeeded) {
                    EngineReport::commandFailed(journals, PRETTY("bool MXZfsrep::recvFile(TQ2Journals&, const QJsonObject&)", __LINE__),
                                       command, stage.errorText);
                    return false;
                }
                rate = 100;
                publishProgress(speed, rate);
                TQ2TRACE("cmd", QStringLiteral("script -q -e -c ") + TransferCommands::stageShellCommand(command)
                                    + QStringLiteral(" /dev/null"));
                TQ2TRACE("startRate+currentRate", rate);
                return true;
            });
        }
    }
    writeEvent(result, QStringLiteral("GLOG_ZFSREP_RECVFILE"), dataset, QStringLiteral(" SEND "), mission, 4, file,
               dataset);
    return result;
}
