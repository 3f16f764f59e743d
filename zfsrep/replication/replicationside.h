// One end of a replication: this machine, or a remote host reached through
// sshpass and ssh. It lists a dataset for the planner, runs single `zfs`
// commands and gives the command text a transfer pipeline runs there. Remote
// commands call /usr/sbin/zfs (a non-interactive ssh login's PATH need not
// hold /usr/sbin); the password travels only in SSHPASS.
// Used from the scheduler thread; holds no state besides the endpoint and
// the run's cancel token.
#pragma once

#include "processrunner.h"
#include "snapshotlisting.h"
#include "transfercommands.h"

#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>

#include <functional>

class CancelToken;
class TQ2Journals;

class ReplicationSide
{
public:
    // This machine. `cancel` (optional, not owned) goes into every request,
    // so a cancelled run ends the side's listing or command in progress.
    explicit ReplicationSide(ProcessRunner &runner, const CancelToken *cancel = nullptr);
    // A remote host.
    ReplicationSide(ProcessRunner &runner, const TransferCommands::Endpoint &endpoint, const QString &passwd,
                    const CancelToken *cancel = nullptr);

    bool isRemote() const { return remote; }
    // "host:" for a remote side, "" here; prefixes names in messages.
    QString label() const;
    // A message about this side as a run's error shows it: for a remote
    // side "on HOST as USER: TEXT" (without zfs's usage text), here TEXT.
    QString named(const QString &text) const;

    // The dataset's snapshots, pending resume token and written bytes, in
    // one command. A dataset that does not exist is an empty listing (exists
    // false), not a failure; any other failure is journaled (ERR_EXECUTE
    // with the tool's message) and false.
    bool list(TQ2Journals &journals, const QString &dataset, DatasetListing &listing) const;
    // The same for the whole tree below `dataset`, in one listing and one
    // token query: a tree whose top does not exist is empty, not a failure.
    // The snapshot listing is read as a stream (a history of any length;
    // only a single line's length is bounded).
    bool listTree(TQ2Journals &journals, const QString &dataset, TreeListing &tree) const;
    // Adds the bookmarks of every dataset of the tree below `dataset` to the
    // datasets `tree` holds (one listing); a failure is journaled and false.
    bool listBookmarks(TQ2Journals &journals, const QString &dataset, TreeListing &tree) const;
    // Lists one dataset of a tree again (`relative` below `top`) and puts
    // what it holds now into `tree`: after a stream of that dataset alone,
    // nothing else of the tree changed.
    bool relistOne(TQ2Journals &journals, const QString &top, const QString &relative, TreeListing &tree) const;
    // Whether any dataset of the tree below `dataset` (the top included) is
    // encrypted (its "encryption" is not "off"); a failure to ask is
    // journaled and false.
    bool isEncrypted(TQ2Journals &journals, const QString &dataset, bool &encrypted) const;
    // Runs `zfs ARGS` to its end.
    ProcessOutcome run(const QStringList &zfsArgs, int finishTimeoutMs = 600000) const;
    // The same with standard output handed to `sink` line by line.
    ProcessOutcome runLines(const QStringList &zfsArgs, const std::function<void(const QByteArray &)> &sink,
                            int finishTimeoutMs = 3600000) const;
    // Runs each `zfs ARGS` of `commands`, whatever the others did: here one
    // process each, on a remote host all in one remote command
    // (RetentionCommands::sequenceText). The outcome of the first that failed
    // here, of the remote command there.
    ProcessOutcome runSequence(const QList<QStringList> &commands, int finishTimeoutMs = 600000) const;
    // Runs `zfs ARGS`; a failure is journaled and false.
    bool runReported(TQ2Journals &journals, const QString &place, const QStringList &zfsArgs) const;
    // Every hold on `snapshots` (snapshot, tag), asked in batches below the
    // argument limit; a failed batch is journaled with its command and false.
    bool holds(TQ2Journals &journals, const QStringList &snapshots, bool recursive,
               QList<QPair<QString, QString>> &found) const;
    // Releases `tag` from `snapshots`, in batches; a failed batch is
    // journaled with its command and false (the other batches still run).
    bool release(TQ2Journals &journals, const QString &tag, const QStringList &snapshots) const;
    // Every snapshot of the tree below `dataset`, full names, read as a
    // stream; a failure is journaled and false.
    bool treeSnapshotNames(TQ2Journals &journals, const QString &dataset, QStringList &names) const;
    // Whether the dataset exists / holds a pending resume token (a failure
    // to ask counts as no).
    bool exists(const QString &dataset) const;
    bool hasResumeToken(const QString &dataset) const;
    // The command text that runs `zfs ARGS` on this side inside a pipeline.
    QString commandText(const QStringList &zfsArgs) const;

private:
    // The failed command's error text, named() for this side.
    QString failureText(const ProcessOutcome &outcome) const;
    ProcessRequest request(const QStringList &zfsArgs, int finishTimeoutMs) const;

    ProcessRunner &processRunner;
    bool remote = false;
    TransferCommands::Endpoint endpoint;
    QString password;
    const CancelToken *cancel = nullptr;
};
