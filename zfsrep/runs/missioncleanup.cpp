#include "missioncleanup.h"

#include "basebookmarks.h"
#include "datasetreplacer.h"
#include "eventrecorder.h"
#include "remotequeries.h"
#include "replicationoutput.h"
#include "replicationside.h"
#include "runservices.h"
#include "sshcontrol.h"
#include "tq2journals.h"
#include "tq2print.h"
#include "zfscommands.h"

void MissionCleanup::clean(const Mission &mission)
{
    done.clear();
    problems.clear();
    const ReplicationSide local(services.runner);
    if (mission.action == Mission::Send) {
        releaseHolds(mission, local, mission.dataset());
        dropBookmarks(mission, local, mission.dataset());
        TQ2Journals endpointCheck;
        if (RemoteQueries::checkEndpoint(endpointCheck, mission.host, mission.userid)) {
            SshControl control(services.runner, mission.endpoint(), mission.passwd, services.settings.sshControlDirectory,
                               mission.msnno);
            const ReplicationSide remote(services.runner, control.endpoint(), mission.passwd);
            abortReceives(remote, mission.path + QLatin1Char('/') + mission.name);
        }
    } else if (mission.action == Mission::Pull) {
        destroyStaging(mission);
    } else if (mission.action == Mission::Mirror) {
        cleanMirror(mission, local);
    }
    if (!done.isEmpty() || !problems.isEmpty())
        record(mission);
}

void MissionCleanup::releaseHolds(const Mission &mission, const ReplicationSide &side, const QString &dataset)
{
    TQ2Journals journals;
    QStringList snapshots;
    QList<QPair<QString, QString>> holds;
    if (!side.treeSnapshotNames(journals, dataset, snapshots)
        || (!snapshots.isEmpty() && !side.holds(journals, snapshots, false, holds))) {
        // A dataset that is gone holds nothing.
        if (!ReplicationOutput::isMissingDataset(journals.errmsg()))
            problems.append(side.label() + journals.errmsg());
        return;
    }
    const QString tag = ZfsCommands::holdTag(mission.msnno);
    QStringList held;
    for (const auto &hold : holds) {
        if (hold.second == tag)
            held.append(hold.first);
    }
    if (held.isEmpty())
        return;
    if (side.release(journals, tag, held))
        done.append(QStringLiteral("released %1 from %2 snapshot(s) of %3%4").arg(tag).arg(held.size()).arg(side.label(), dataset));
    else
        problems.append(side.label() + journals.errmsg());
}

void MissionCleanup::dropBookmarks(const Mission &mission, const ReplicationSide &side, const QString &dataset)
{
    TQ2Journals journals;
    QStringList destroyed;
    const bool ok = BaseBookmarks(side, mission.msnno).dropAll(journals, dataset, destroyed);
    if (!destroyed.isEmpty())
        done.append(QStringLiteral("destroyed %1 bookmark(s) of %2%3").arg(destroyed.size()).arg(side.label(), dataset));
    if (!ok)
        problems.append(side.label() + journals.errmsg());
}

void MissionCleanup::cleanMirror(const Mission &mission, const ReplicationSide &local)
{
    abortReceives(local, mission.dataset());
    TQ2Journals endpointCheck;
    if (!RemoteQueries::checkEndpoint(endpointCheck, mission.host, mission.userid)) {
        problems.append(endpointCheck.errmsg());
        return;
    }
    SshControl control(services.runner, mission.endpoint(), mission.passwd, services.settings.sshControlDirectory,
                       mission.msnno);
    const ReplicationSide remote(services.runner, control.endpoint(), mission.passwd);
    TQ2Journals reached;
    TreeListing tree;
    // One question first: a host that is not reached is tried once, not
    // once for the holds and again for the bookmarks.
    if (!remote.listTree(reached, mission.path, tree)) {
        problems.append(QStringLiteral("%1 not reached, the hold and bookmarks of %2 are left: %3")
                            .arg(remote.label(), mission.path, reached.errmsg()));
        return;
    }
    if (!tree.exists())
        return;
    releaseHolds(mission, remote, mission.path);
    dropBookmarks(mission, remote, mission.path);
}

void MissionCleanup::abortReceives(const ReplicationSide &side, const QString &dataset)
{
    TQ2Journals journals;
    TreeListing tree;
    if (!side.listTree(journals, dataset, tree)) {
        problems.append(QStringLiteral("%1 not reached, its partial receives are left: %2").arg(side.label(), journals.errmsg()));
        return;
    }
    for (auto it = tree.datasets.constBegin(); it != tree.datasets.constEnd(); ++it) {
        if (it.value().resumeToken.isEmpty())
            continue;
        const QString name = it.key().isEmpty() ? dataset : dataset + QLatin1Char('/') + it.key();
        if (side.runReported(journals, TQ2PLACE(), ZfsCommands::abortReceiveArgs(name)))
            done.append(QStringLiteral("aborted the partial receive of %1%2").arg(side.label(), name));
        else
            problems.append(side.label() + journals.errmsg());
    }
}

void MissionCleanup::destroyStaging(const Mission &mission)
{
    const QString staging = mission.dataset() + DatasetReplacer::kIncomingSuffix;
    const ReplicationSide local(services.runner);
    if (!local.exists(staging))
        return;
    releaseHolds(mission, local, staging);
    const QStringList destroy = ZfsCommands::destroyTreeArgs(staging);
    TQ2Journals journals;
    if (local.runReported(journals, TQ2PLACE(), destroy))
        done.append(QStringLiteral("destroyed the staging tree %1").arg(staging));
    else
        problems.append(journals.errmsg());
}

void MissionCleanup::record(const Mission &mission)
{
    EventRecorder::Event event;
    event.succeeded = problems.isEmpty();
    event.symbol = QStringLiteral("GLOG_ZFSREP_CLEANUP");
    event.dataset = mission.dataset();
    event.direction = QStringLiteral(" REMOVED ");
    event.caption = mission.caption;
    event.path = mission.path;
    event.action = mission.action;
    event.from = mission.dataset();
    event.to = done.join(QStringLiteral("; "));
    event.error = problems.join(QStringLiteral("; "));
    services.events.write(event);
}
