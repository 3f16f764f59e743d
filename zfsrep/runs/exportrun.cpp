#include "exportrun.h"

#include "commandreport.h"
#include "exportleftovers.h"
#include "exportwriter.h"
#include "localqueries.h"
#include "missionnames.h"
#include "replicationside.h"
#include "retentionstep.h"
#include "run.h"
#include "runevent.h"
#include "seriessnapshots.h"
#include "snapshothooks.h"
#include "stagerunner.h"
#include "trusteddirectories.h"
#include "tq2print.h"

#include <QDir>
#include <QFileInfo>

QString ExportRun::filePath(const QString &directory, const QString &snapshot)
{
    QString name = snapshot;
    name.remove(QLatin1Char(':'));
    return QDir(directory).absoluteFilePath(name + QStringLiteral(".gz.zsa"));
}

bool ExportRun::isInside(Run &run, const QString &directory, const QString &file)
{
    if (QDir::cleanPath(QFileInfo(file).absolutePath()) == QDir::cleanPath(directory))
        return true;
    CommandReport::commandFailed(run.journals(), TQ2PLACE(), QStringLiteral("open ") + file,
                                 QStringLiteral("the export file %1 would land outside its directory %2").arg(file, directory));
    return false;
}

bool ExportRun::execute(Run &run)
{
    const Mission &mission = run.mission();
    const QString dataset = mission.dataset();
    SeriesSnapshots series(run, services);
    QString snapshot;
    bool result = false;
    QStringList snapshots;
    // The directories up to the file are made (or found) trustworthy before
    // anything is snapshotted: one that other users can write fails the run.
    // Nothing is made before the names are checked: the file's directory
    // lies below the export directory, or the run makes none.
    const QString directory = ExportLeftovers::placeOf(mission.path, dataset).directory;
    QString refusal;
    bool placed = false;
    if (!MissionNames::datasetProblem(dataset).isEmpty() || !MissionNames::isBelow(mission.path, directory))
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), QStringLiteral("mkdir ") + directory,
                                     QStringLiteral("the export of %1 would land outside its directory %2")
                                         .arg(dataset, mission.path));
    else if (!(placed = TrustedDirectories::make(directory, refusal)))
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), QStringLiteral("mkdir ") + directory, refusal);
    // The stream carries the children (-R), so the snapshot is recursive.
    if (placed && SnapshotHooks(run, services).snapshot(series, dataset, mission.snapname, snapshot)
        && LocalQueries(services.runner, &run.cancelToken()).snapshotAllist(run.journals(), snapshots, dataset)
        && !snapshots.isEmpty()
        && isInside(run, directory, filePath(mission.path, snapshots.last()))) {
        const QString newest = snapshots.last();
        const QString file = filePath(mission.path, newest);
        StageRunner stages(services.runner, services.settings.stallTimeoutSeconds);
        result = ExportWriter(run, services, stages).write(newest, file, QDir(mission.path).absolutePath());
        run.note(QStringLiteral("export"), result ? QFileInfo(file).size() : 0, QString(),
                 newest.mid(newest.indexOf(QLatin1Char('@')) + 1));
        if (result)
            run.noteFile(QFileInfo(file).absoluteFilePath());
        // Older snapshots go only once the file holding them is on disk.
        if (result && !run.isCancelled()) {
            // A source rule takes the place of erase; the exported
            // snapshot stands for the base.
            const ReplicationSide local(services.runner, &run.cancelToken());
            RetentionStep::prune(run, services, local, nullptr, QString(), newest.mid(newest.indexOf(QLatin1Char('@')) + 1));
            if (mission.erase && !RetentionStep::hasSourceRule(run))
                series.eraseOlder(dataset, mission.snapname, snapshot);
        }
    }
    RunEvent::write(services.events, run, result, QStringLiteral("GLOG_ZFSREP_SENDFILE"), dataset,
                    QStringLiteral(" SEND "), dataset, mission.path);
    return result;
}
