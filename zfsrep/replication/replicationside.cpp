#include "replicationside.h"

#include "argumentbatches.h"
#include "bookmarkcommands.h"
#include "bookmarkoutput.h"
#include "commandreport.h"
#include "failuretext.h"
#include "replicationoutput.h"
#include "retentioncommands.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"
#include "zfsoutput.h"

using namespace ZfsCommands;

namespace {

constexpr int kStartMs = 10000;

} // namespace

ReplicationSide::ReplicationSide(ProcessRunner &runner, const CancelToken *token)
    : processRunner(runner), cancel(token)
{
}

ReplicationSide::ReplicationSide(ProcessRunner &runner, const TransferCommands::Endpoint &endpoint,
                                 const QString &passwd, const CancelToken *token)
    : processRunner(runner), remote(true), endpoint(endpoint), password(passwd), cancel(token)
{
}

QString ReplicationSide::label() const { return remote ? endpoint.host + QLatin1Char(':') : QString(); }

QString ReplicationSide::named(const QString &text) const
{
    return remote ? FailureText::onRemote(endpoint.host, endpoint.userid, text) : text;
}

QString ReplicationSide::failureText(const ProcessOutcome &outcome) const
{
    return named(CommandReport::errorText(outcome));
}

ProcessRequest ReplicationSide::request(const QStringList &zfsArgs, int finishTimeoutMs) const
{
    ProcessRequest request = remote ? sshRequest(endpoint.host, endpoint.port, endpoint.userid, password,
                                                 ZfsCommands::commandText(kZfsFullPath, zfsArgs), kStartMs,
                                                 finishTimeoutMs, endpoint.controlPath)
                                    : localRequest(kZfs, zfsArgs, kStartMs, finishTimeoutMs);
    request.cancel = cancel;
    return request;
}

ProcessOutcome ReplicationSide::run(const QStringList &zfsArgs, int finishTimeoutMs) const
{
    return processRunner.run(request(zfsArgs, finishTimeoutMs));
}

ProcessOutcome ReplicationSide::runLines(const QStringList &zfsArgs, const std::function<void(const QByteArray &)> &sink,
                                         int finishTimeoutMs) const
{
    ProcessRequest lines = request(zfsArgs, finishTimeoutMs);
    lines.lineSink = sink;
    return processRunner.run(lines);
}

ProcessOutcome ReplicationSide::runSequence(const QList<QStringList> &commands, int finishTimeoutMs) const
{
    if (remote) {
        ProcessRequest request = sshRequest(endpoint.host, endpoint.port, endpoint.userid, password,
                                            RetentionCommands::sequenceText(kZfsFullPath, commands), kStartMs,
                                            finishTimeoutMs, endpoint.controlPath);
        request.cancel = cancel;
        return processRunner.run(request);
    }
    ProcessOutcome first;
    bool failed = false;
    for (const QStringList &command : commands) {
        const ProcessOutcome outcome = run(command, finishTimeoutMs);
        if (!outcome.succeeded() && !failed) {
            first = outcome;
            failed = true;
        }
        if (!failed)
            first = outcome;
    }
    return first;
}

bool ReplicationSide::runReported(TQ2Journals &journals, const QString &place, const QStringList &zfsArgs) const
{
    const ProcessOutcome outcome = run(zfsArgs);
    if (outcome.succeeded())
        return true;
    CommandReport::commandFailed(journals, place, label() + ZfsCommands::commandText(kZfs, zfsArgs),
                                failureText(outcome));
    return false;
}

bool ReplicationSide::holds(TQ2Journals &journals, const QStringList &snapshots, bool recursive,
                            QList<QPair<QString, QString>> &found) const
{
    for (const QStringList &batch : ArgumentBatches::split(snapshots)) {
        const ProcessOutcome held = run(holdsArgs(batch, recursive));
        if (!held.succeeded()) {
            CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, holdsArgs(batch, recursive)),
                                         failureText(held));
            return false;
        }
        found += ZfsOutput::holds(held.standardOutput);
    }
    return true;
}

bool ReplicationSide::release(TQ2Journals &journals, const QString &tag, const QStringList &snapshots) const
{
    bool all = true;
    for (const QStringList &batch : ArgumentBatches::split(snapshots)) {
        const ProcessOutcome released = run(releaseManyArgs(tag, batch));
        if (!released.succeeded()) {
            CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, releaseManyArgs(tag, batch)),
                                         failureText(released));
            all = false;
        }
    }
    return all;
}

bool ReplicationSide::treeSnapshotNames(TQ2Journals &journals, const QString &dataset, QStringList &names) const
{
    names.clear();
    const ProcessOutcome listed = runLines(treeSnapshotNamesArgs(dataset), [&](const QByteArray &line) {
        const QString name = ZfsOutput::decode(line).trimmed();
        if (!name.isEmpty())
            names.append(name);
    });
    if (!listed.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, treeSnapshotNamesArgs(dataset)),
                                     failureText(listed));
        return false;
    }
    return true;
}

bool ReplicationSide::exists(const QString &dataset) const
{
    return run(existsArgs(dataset), 30000).succeeded();
}

bool ReplicationSide::hasResumeToken(const QString &dataset) const
{
    const ProcessOutcome token = run(resumeTokenArgs(dataset), 30000);
    return token.succeeded() && !ReplicationOutput::resumeToken(token.standardOutput).isEmpty();
}

QString ReplicationSide::commandText(const QStringList &zfsArgs) const
{
    if (!remote)
        return ZfsCommands::commandText(kZfs, zfsArgs);
    return TransferCommands::sshPrefix(endpoint, ZfsCommands::commandText(kZfsFullPath, zfsArgs));
}

bool ReplicationSide::list(TQ2Journals &journals, const QString &dataset, DatasetListing &listing) const
{
    listing = DatasetListing();
    const QString top = dataset;
    QByteArray own; // the dataset's lines only: its children's are not kept
    const ProcessOutcome listed = runLines(datasetListArgs(dataset), [&](const QByteArray &line) {
        if (line.startsWith(top.toUtf8() + '\t') || line.startsWith(top.toUtf8() + '@'))
            own.append(line).append('\n');
    });
    if (!listed.succeeded()) {
        const QString error = CommandReport::errorText(listed);
        if (listed.started && listed.finished && ReplicationOutput::isMissingDataset(error))
            return true;
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, datasetListArgs(dataset)),
                                     named(error));
        return false;
    }
    listing = ReplicationOutput::datasetListing(own, dataset);
    // A listing that succeeded is of a dataset that exists (zfs names a
    // missing one in its error, seen above).
    listing.exists = true;
    return true;
}

bool ReplicationSide::listTree(TQ2Journals &journals, const QString &dataset, TreeListing &tree) const
{
    tree = TreeListing();
    const ProcessOutcome tokens = run(treeTokenArgs(dataset));
    if (!tokens.succeeded()) {
        const QString error = CommandReport::errorText(tokens);
        if (tokens.started && tokens.finished && ReplicationOutput::isMissingDataset(error))
            return true;
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, treeTokenArgs(dataset)),
                                     named(error));
        return false;
    }
    const QMap<QString, DatasetListing> states = ReplicationOutput::treeStates(tokens.standardOutput, dataset);
    QMap<QString, QList<SnapshotInfo>> lists;
    const ProcessOutcome snapshots = runLines(treeListArgs(dataset), [&](const QByteArray &line) {
        QString relative;
        SnapshotInfo info;
        if (ReplicationOutput::treeSnapshotLine(line, dataset, relative, info))
            lists[relative].append(info);
    });
    if (!snapshots.succeeded()) {
        // Destroyed between the two questions: no tree, as above.
        if (snapshots.started && snapshots.finished && ReplicationOutput::isMissingDataset(CommandReport::errorText(snapshots)))
            return true;
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, treeListArgs(dataset)),
                                     failureText(snapshots));
        return false;
    }
    for (auto it = states.constBegin(); it != states.constEnd(); ++it) {
        DatasetListing &listing = tree.datasets[it.key()];
        listing = it.value();
        listing.snapshots = lists.value(it.key());
    }
    return true;
}

bool ReplicationSide::listBookmarks(TQ2Journals &journals, const QString &dataset, TreeListing &tree) const
{
    const QStringList args = BookmarkCommands::treeListArgs(dataset);
    const ProcessOutcome listed = run(args);
    if (!listed.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, args),
                                     CommandReport::errorText(listed));
        return false;
    }
    const QMap<QString, DatasetListing> marks = BookmarkOutput::tree(listed.standardOutput, dataset);
    for (auto it = tree.datasets.begin(); it != tree.datasets.end(); ++it)
        it.value().bookmarks = marks.value(it.key()).bookmarks;
    return true;
}

bool ReplicationSide::relistOne(TQ2Journals &journals, const QString &top, const QString &relative, TreeListing &tree) const
{
    DatasetListing listing;
    if (!list(journals, relative.isEmpty() ? top : top + QLatin1Char('/') + relative, listing))
        return false;
    if (listing.exists)
        tree.datasets.insert(relative, listing);
    else
        tree.datasets.remove(relative);
    return true;
}

bool ReplicationSide::isEncrypted(TQ2Journals &journals, const QString &dataset, bool &encrypted) const
{
    const ProcessOutcome outcome = run(encryptionArgs(dataset));
    if (!outcome.succeeded()) {
        CommandReport::commandFailed(journals, TQ2PLACE(), label() + ZfsCommands::commandText(kZfs, encryptionArgs(dataset)),
                                     failureText(outcome));
        return false;
    }
    encrypted = ReplicationOutput::anyEncrypted(outcome.standardOutput);
    return true;
}
