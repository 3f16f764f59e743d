#include "restorerun.h"

#include "commandreport.h"
#include "datasetreplacer.h"
#include "localqueries.h"
#include "missionnames.h"
#include "pvmeter.h"
#include "run.h"
#include "runevent.h"
#include "stagerunner.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "transfercommands.h"
#include "trustedfile.h"

#include <QFileInfo>

QString RestoreRun::datasetName(const QString &name, const QString &file)
{
    if (!name.isEmpty())
        return name;
    const QString fileName = QFileInfo(file).fileName();
    const int at = fileName.indexOf(QLatin1Char('@'));
    return at > 0 ? fileName.left(at) : QString();
}

bool RestoreRun::execute(Run &run)
{
    const Mission &mission = run.mission();
    const QString file = mission.path;
    const QString name = datasetName(mission.name, file);
    const QString dataset = mission.pool + QLatin1Char('/') + name;
    TQ2Journals &journals = run.journals();
    bool result = false;
    QJsonObject pools;
    TrustedFile source;
    QString refusal;
    if (name.isEmpty()) {
        // Without a name the target would be the pool itself plus "/".
        journals.setErr(TQ2Error::ERR_PARAMS, QStringLiteral("参数无效: name"));
    } else if (!MissionNames::datasetProblem(name).isEmpty()) {
        // A name taken from the file's name is checked like a given one.
        journals.setErr(TQ2Error::ERR_PARAMS, QStringLiteral("参数无效: name: ") + MissionNames::datasetProblem(name));
    } else if (!source.open(file, QStringLiteral("restore file"), refusal)) {
        // Refused before anything is read or recorded (not even its size).
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("open ") + file, refusal);
    } else if (LocalQueries(services.runner, &run.cancelToken()).alload(journals, pools)) {
        if (!pools.contains(mission.pool)) {
            journals.setErr(TQ2Error::ERR_NOT_EXISTS, QStringLiteral("需要恢复的pool不存在: ") + mission.pool);
        } else {
            const QJsonObject items = pools.value(mission.pool).toObject().value(QStringLiteral("items")).toObject();
            const qint64 size = source.size();
            run.note(QStringLiteral("restore"), size, QString(), QString());
            StageRunner stages(services.runner, services.settings.stallTimeoutSeconds);
            DatasetReplacer replacer(run, services);
            result = replacer.receiveReplacing(mission.pool, name, items, false, [&](const QString &incoming) {
                // The stage reads the descriptor checked above, lent to it
                // only while it runs.
                const QString command = TransferCommands::restoreFromDescriptor(
                    source.descriptor(), size,
                    Compressor::decompressStage(Compressor::current(services.settings.compression)), incoming);
                QString speed = QStringLiteral("0B/s");
                source.rewind();
                source.setInheritable(true);
                const StageOutcome stage = stages.displayed(run, command, size, [&](const PvMeter &meter) {
                    speed = PvMeter::rateText(meter.bytesPerSecond());
                    run.progress().display(speed, meter.percent());
                });
                source.setInheritable(false);
                if (!stage.succeeded) {
                    CommandReport::commandFailed(journals, TQ2PLACE(), command, stage.errorText);
                    return false;
                }
                run.progress().display(speed, 100);
                return true;
            });
        }
    }
    RunEvent::write(services.events, run, result, QStringLiteral("GLOG_ZFSREP_RECVFILE"), dataset,
                    QStringLiteral(" SEND "), file, dataset);
    return result;
}
