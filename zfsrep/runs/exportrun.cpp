#include "exportrun.h"

#include "commandreport.h"
#include "exportleftovers.h"
#include "exportwriter.h"
#include "localqueries.h"
#include "run.h"
#include "runevent.h"
#include "seriessnapshots.h"
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
    const QString directory = ExportLeftovers::placeOf(mission.path, dataset).directory;
    QString refusal;
    const bool placed = TrustedDirectories::make(directory, refusal);
    if (!placed)
        CommandReport::commandFailed(run.journals(), TQ2PLACE(), QStringLiteral("mkdir ") + directory, refusal);
    // The stream carries the children (-R), so the snapshot is recursive.
    if (placed && series.create(dataset, mission.snapname, snapshot)
        && LocalQueries(services.runner, &run.cancelToken()).snapshotAllist(run.journals(), snapshots, dataset)
        && !snapshots.isEmpty()) {
        const QString newest = snapshots.last();
        const QString file = filePath(mission.path, newest);
        StageRunner stages(services.runner, services.settings.stallTimeoutSeconds);
        result = ExportWriter(run, services, stages).write(newest, file, QDir(mission.path).absolutePath());
        run.note(QStringLiteral("export"), result ? QFileInfo(file).size() : 0, QString(),
                 newest.mid(newest.indexOf(QLatin1Char('@')) + 1));
        // Older snapshots go only once the file holding them is on disk.
        if (result && mission.erase && !run.isCancelled())
            series.eraseOlder(dataset, mission.snapname, snapshot);
    }
    RunEvent::write(services.events, run, result, QStringLiteral("GLOG_ZFSREP_SENDFILE"), dataset,
                    QStringLiteral(" SEND "), dataset, mission.path);
    return result;
}
