#include "exportwriter.h"

#include "commandreport.h"
#include "compressor.h"
#include "durablefile.h"
#include "exclusivefile.h"
#include "exportprogress.h"
#include "localqueries.h"
#include "pvmeter.h"
#include "replicationside.h"
#include "run.h"
#include "runservices.h"
#include "stagerunner.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "transfercommands.h"

#include <QFile>
#include <QFileInfo>

namespace {

const QString kPartSuffix = QStringLiteral(".part");
// Export files hold whole file systems: the owner's only.
constexpr mode_t kFileMode = 0600;

} // namespace

ExportWriter::ExportWriter(Run &owner, const RunServices &runServices, StageRunner &stageRunner)
    : run(owner), services(runServices), stages(stageRunner)
{
}

bool ExportWriter::write(const QString &snapshot, const QString &file, const QString &top)
{
    TQ2Journals &journals = run.journals();
    const Compressor::Tool tool = Compressor::current(services.settings.compression);
    // An encrypted dataset is exported as it is stored (-w): OpenZFS refuses
    // its tree stream otherwise, and it restores still encrypted.
    bool raw = false;
    if (!ReplicationSide(services.runner, &run.cancelToken()).isEncrypted(journals, snapshot.left(snapshot.indexOf(QLatin1Char('@'))), raw))
        return false;
    const qint64 size = LocalQueries(services.runner, &run.cancelToken()).snapshotSize(journals, snapshot, QString(), raw);
    // The stream goes to a temporary name and takes the final one only when
    // complete, checked and on disk, so a failed export never leaves a file
    // that looks finished.
    const QString partial = file + kPartSuffix;
    QString speed = QStringLiteral("0B/s");
    // The service makes the file itself and the compressor writes into its
    // descriptor: a link planted at the name is never followed, and the file
    // is the owner's alone.
    ExclusiveFile part;
    QString error;
    if (!part.create(partial, kFileMode, true, error)) {
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("open ") + partial,
                                     QStringLiteral("the export file %1 could not be stored: %2").arg(file, error));
        return false;
    }
    const QString command = TransferCommands::exportToDescriptor(snapshot, size, Compressor::compressStage(tool),
                                                                 part.descriptor(), raw);
    // Inheritable only while the stage starts and runs.
    part.setInheritable(true);
    const StageOutcome stage = stages.displayed(run, command, size, [&](const PvMeter &meter) {
        speed = PvMeter::rateText(meter.bytesPerSecond());
        run.progress().display(speed, ExportProgress::streamRate(meter.percent()));
    });
    part.setInheritable(false);
    if (!stage.succeeded) {
        part.close(error);
        QFile::remove(partial);
        CommandReport::commandFailed(journals, TQ2PLACE(), command, stage.errorText);
        return false;
    }
    if (!part.sync(error) || !part.close(error)) {
        QFile::remove(partial);
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("fsync ") + partial,
                                     QStringLiteral("the export file %1 could not be stored: %2").arg(file, error));
        return false;
    }
    run.progress().display(speed, ExportProgress::streamRate(100));

    // Read back: every gzip member's CRC-32 and length, so a file damaged on
    // its way to the disk (or by the compressor) is never trusted.
    const qint64 written = QFileInfo(partial).size();
    const QString check = TransferCommands::checkFile(partial, written, Compressor::testStage(tool));
    const StageOutcome checked = stages.displayed(run, check, written, [&](const PvMeter &meter) {
        speed = PvMeter::rateText(meter.bytesPerSecond());
        run.progress().display(speed, ExportProgress::checkRate(meter.percent()));
    });
    if (!checked.succeeded) {
        QFile::remove(partial);
        const QString reason = checked.errorText.isEmpty() ? QStringLiteral("no message") : checked.errorText;
        CommandReport::commandFailed(journals, TQ2PLACE(), check,
                                     (checked.cancelled ? QStringLiteral("the check of the export file %1 was cancelled: %2")
                                                        : QStringLiteral("the export file %1 failed its check: %2"))
                                         .arg(file, reason));
        return false;
    }
    run.progress().display(speed, ExportProgress::checkRate(100));

    // The directories the export made (one per dataset level) are flushed
    // too: the file is reachable after a power cut only through them.
    if (!DurableFile::publish(partial, file, error)
        || !DurableFile::syncDirectories(QFileInfo(file).absolutePath(), top, error)) {
        QFile::remove(partial);
        CommandReport::commandFailed(journals, TQ2PLACE(), QStringLiteral("rename ") + partial,
                                     QStringLiteral("the export file %1 could not be stored: %2").arg(file, error));
        return false;
    }
    run.progress().display(speed, 100);
    return true;
}
