// Export and restore missions: the replication stream of a new snapshot
// written gzip-compressed (pigz when installed, gzip otherwise; the same
// format) to "<dir>/<dataset>@<snap>.gz.zsa", read back and checked before
// it takes that name, and such a file received back into a pool.
#include "mxzfsrep.h"

#include "compressor.h"
#include "durablefile.h"
#include "enginereport.h"
#include "exportprogress.h"
#include "missionfields.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "tq2utils.h"
#include "transfercommands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

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

bool MXZfsrep::writeExport(TQ2Journals &journals, const QString &snapshot, const QString &file, const QString &top)
{
    const Compressor::Tool tool = Compressor::current(compression);
    const qint64 size = snapshotSize(journals, snapshot, QString());
    // The stream goes to a temporary name and takes the final one only when
    // complete, checked and on disk, so a failed export never leaves a file
    // that looks finished.
    const QString partial = file + kPartSuffix;
    QString speed = QStringLiteral("0B/s");
    int rate = 0;
    int phaseRate = 0;
    const QString command = TransferCommands::exportToFileWith(snapshot, size, Compressor::compressStage(tool), partial);
    const StageOutcome stage = runStage(command, QString(), true, [&](QByteArray &buffer) {
        takeProgress(speed, phaseRate, buffer);
        rate = ExportProgress::streamRate(phaseRate);
        publishProgress(speed, rate);
    });
    if (!stage.succeeded) {
        QFile::remove(partial);
        EngineReport::commandFailed(journals, TQ2PLACE(), command, stage.errorText);
        return false;
    }
    rate = ExportProgress::streamRate(100);
    publishProgress(speed, rate);

    // Read back: every gzip member's CRC-32 and length, so a file damaged on
    // its way to the disk (or by the compressor) is never trusted.
    const QString check = TransferCommands::checkFile(partial, QFileInfo(partial).size(), Compressor::testStage(tool));
    const StageOutcome checked = runStage(check, QString(), true, [&](QByteArray &buffer) {
        takeProgress(speed, phaseRate, buffer);
        rate = ExportProgress::checkRate(phaseRate);
        publishProgress(speed, rate);
    });
    if (!checked.succeeded) {
        QFile::remove(partial);
        const QString reason = checked.errorText.isEmpty() ? QStringLiteral("no message") : checked.errorText;
        EngineReport::commandFailed(journals, TQ2PLACE(), check,
                                    (checked.cancelled ? QStringLiteral("the check of the export file %1 was cancelled: %2")
                                                       : QStringLiteral("the export file %1 failed its check: %2"))
                                        .arg(file, reason));
        return false;
    }
    rate = ExportProgress::checkRate(100);
    publishProgress(speed, rate);

    QString error;
    // The directories the export made (one per dataset level) are flushed
    // too: the file is reachable after a power cut only through them.
    if (!DurableFile::publish(partial, file, error)
        || !DurableFile::syncDirectories(QFileInfo(file).absolutePath(), top, error)) {
        QFile::remove(partial);
        EngineReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("rename ") + partial,
                                    QStringLiteral("the export file %1 could not be stored: %2").arg(file, error));
        return false;
    }
    rate = 100;
    publishProgress(speed, rate);
    return true;
}

bool MXZfsrep::sendFile(TQ2Journals &journals, const QJsonObject &mission)
{
    const QString dataset = MissionFields::dataset(mission);
    const QString directory = MissionFields::text(mission, "path");
    const QString series = MissionFields::text(mission, "snapname");
    const int msnno = toInt(mission.value(QStringLiteral("msnno")));
    QString snapshot;
    bool result = false;
    QStringList snapshots;
    // The stream carries the children (-R), so the snapshot is recursive.
    if (createSeriesSnapshot(journals, dataset, series, snapshot) && snapshotAllist(journals, snapshots, dataset)
        && !snapshots.isEmpty()) {
        const QString newest = snapshots.last();
        const QString file = exportFilePath(directory, newest);
        QDir().mkpath(QFileInfo(file).absolutePath());
        result = writeExport(journals, newest, file, QDir(directory).absolutePath());
        noteRun(QStringLiteral("export"), result ? QFileInfo(file).size() : 0, QString(),
                newest.mid(newest.indexOf(QLatin1Char('@')) + 1));
        // Older snapshots go only once the file holding them is on disk.
        if (result && toBool(mission.value(QStringLiteral("erase"))))
            eraseOlderSeries(journals, dataset, series, snapshot, msnno);
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
            noteRun(QStringLiteral("restore"), size, QString(), QString());
            result = receiveReplacing(journals, pool, name, items, [&](const QString &incoming) {
                const QString command = TransferCommands::restoreFromFileWith(
                    file, size, Compressor::decompressStage(Compressor::current(compression)), incoming);
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
