#include "missioncheck.h"

#include "commandreport.h"
#include "endpointcheck.h"
#include "hostkeypin.h"
#include "remotequeries.h"
#include "replicationside.h"
#include "run.h"
#include "snapshotlisting.h"
#include "spacequery.h"
#include "sshlogin.h"
#include "tq2journals.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QStorageInfo>

namespace {

using Line = MissionCheck::Line;

constexpr int kSpaceMs = 60000;

Line passed(const char *check, const QString &text) { return Line{QLatin1String(check), true, text}; }
Line failed(const char *check, const QString &text) { return Line{QLatin1String(check), false, text}; }

QString snapshotCount(const DatasetListing &listing)
{
    const int count = listing.snapshots.size();
    return count == 1 ? QStringLiteral("1 snapshot") : QStringLiteral("%1 snapshots").arg(count);
}

// The used and available bytes of `dataset` on `side`; false with the
// reason in `error`, named for the side.
bool spaceOf(const ReplicationSide &side, const QString &dataset, qint64 &used, qint64 &available, QString &error)
{
    const ProcessOutcome outcome = side.run(SpaceQuery::args(dataset), kSpaceMs);
    if (!outcome.succeeded()) {
        error = side.named(CommandReport::errorText(outcome));
        return false;
    }
    if (!SpaceQuery::parse(outcome.standardOutput, used, available)) {
        error = side.named(QStringLiteral("zfs list gave no sizes for %1").arg(dataset));
        return false;
    }
    return true;
}

Line spaceLine(qint64 needed, qint64 available, const QString &where)
{
    if (needed <= available)
        return passed("space", QStringLiteral("about %1 to write, %2 free %3")
                                   .arg(MissionCheck::bytesText(needed), MissionCheck::bytesText(available), where));
    return failed("space", QStringLiteral("about %1 to write, only %2 free %3")
                               .arg(MissionCheck::bytesText(needed), MissionCheck::bytesText(available), where));
}

// The local dataset of a send or an export; `listing` holds its tree when
// the line passed.
Line localDataset(const ReplicationSide &local, const QString &dataset, TreeListing &listing)
{
    TQ2Journals journals;
    if (!local.listTree(journals, dataset, listing))
        return failed("local dataset", Run::errorText(journals));
    if (!listing.exists())
        return failed("local dataset", QStringLiteral("%1 does not exist on this host").arg(dataset));
    return passed("local dataset", QStringLiteral("%1 exists with %2").arg(dataset, snapshotCount(listing.top())));
}

// The remote dataset a pull or a mirror takes; `tree` is its listing.
Line sourceDataset(const ReplicationSide &remote, const QString &dataset, const TreeListing &tree)
{
    if (tree.exists())
        return passed("source dataset",
                      remote.named(QStringLiteral("%1 exists with %2").arg(dataset, snapshotCount(tree.top()))));
    return failed("source dataset", remote.named(QStringLiteral("%1 does not exist").arg(dataset)));
}

// The space line of a replication from `sourceDataset` (listed as `source`)
// into `receivesInto` on `target`: a first run writes the whole tree ("used"
// counts its snapshots too: an upper bound), a later one what was written
// since the newest snapshots.
Line replicaSpace(const ReplicationSide &sourceSide, const QString &sourceDataset, const TreeListing &source,
                  bool replicaExists, const ReplicationSide &target, const QString &receivesInto, const QString &where)
{
    qint64 needed = 0;
    qint64 free = 0;
    qint64 ignored = 0;
    QString error;
    if (!replicaExists) {
        if (!spaceOf(sourceSide, sourceDataset, needed, ignored, error))
            return failed("space", error);
    } else {
        for (const DatasetListing &listing : source.datasets)
            needed += qMax<qint64>(0, listing.written);
    }
    if (!spaceOf(target, receivesInto, ignored, free, error))
        return failed("space", error);
    return spaceLine(needed, free, where);
}

// The local pool a pull or a restore receives into.
Line localPool(const ReplicationSide &local, const QString &pool)
{
    TQ2Journals journals;
    DatasetListing listing;
    if (!local.list(journals, pool, listing))
        return failed("local pool", Run::errorText(journals));
    if (!listing.exists)
        return failed("local pool", QStringLiteral("the pool %1 does not exist on this host").arg(pool));
    return passed("local pool", QStringLiteral("the pool %1 exists").arg(pool));
}

} // namespace

QJsonObject MissionCheck::Line::toJson() const
{
    return QJsonObject{{QStringLiteral("check"), check}, {QStringLiteral("ok"), ok}, {QStringLiteral("text"), text}};
}

QJsonObject MissionCheck::toJson(const QList<Line> &lines)
{
    QJsonArray checks;
    bool ok = !lines.isEmpty();
    for (const Line &line : lines) {
        checks.append(line.toJson());
        ok = ok && line.ok;
    }
    return QJsonObject{{QStringLiteral("ok"), ok}, {QStringLiteral("checks"), checks}};
}

QString MissionCheck::bytesText(qint64 bytes)
{
    static const char *const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024)
        return QStringLiteral("%1 B").arg(bytes);
    double value = double(bytes);
    int unit = -1;
    while (value >= 1024 && unit < 4) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', 1).arg(QLatin1String(units[unit]));
}

QList<MissionCheck::Line> MissionCheck::check(const Mission &mission) const
{
    switch (mission.action) {
    case Mission::Send: return checkSend(mission);
    case Mission::Pull: return checkPull(mission);
    case Mission::Export: return checkExport(mission);
    case Mission::Restore: return checkRestore(mission);
    case Mission::Mirror: return checkMirror(mission);
    default: return {failed("mission", QStringLiteral("action %1 is not known").arg(mission.action))};
    }
}

bool MissionCheck::remoteLogin(const Mission &mission, const ReplicationSide &remote, const QString &dataset,
                               TreeListing &tree, QList<Line> &lines) const
{
    TQ2Journals journals;
    if (!RemoteQueries::checkEndpoint(journals, mission.host, mission.userid)
        || !remote.listTree(journals, dataset, tree)) {
        lines.append(failed("login", Run::errorText(journals)));
        return false;
    }
    lines.append(passed("login", QStringLiteral("logged in to %1 as %2").arg(mission.host, mission.userid)));
    Run scratch(mission, services.clock().toSecsSinceEpoch());
    if (HostKeyPin::confirm(scratch, services.runner, mission.host, mission.port))
        lines.append(passed("host key", QStringLiteral("the key of %1 is on record")
                                            .arg(SshLogin::knownHostsName(mission.host, mission.port))));
    else
        lines.append(failed("host key", Run::errorText(scratch.journals())));
    return true;
}

QList<MissionCheck::Line> MissionCheck::checkSend(const Mission &mission) const
{
    QList<Line> lines;
    const QString dataset = mission.dataset();
    const QString target = mission.path + QLatin1Char('/') + mission.name;
    const ReplicationSide local(services.runner);
    TreeListing source;
    lines.append(localDataset(local, dataset, source));
    const ReplicationSide remote(services.runner, mission.endpoint(), mission.passwd);
    TreeListing replica;
    if (!remoteLogin(mission, remote, target, replica, lines))
        return lines;
    QString receivesInto = target;
    if (replica.exists()) {
        lines.append(passed("target", QStringLiteral("%1 exists on %2 with %3")
                                          .arg(target, mission.host, snapshotCount(replica.top()))));
    } else {
        TQ2Journals checked;
        if (!EndpointCheck::sendTarget(checked, remote, target)) {
            lines.append(failed("target", Run::errorText(checked)));
            return lines;
        }
        receivesInto = target.left(target.lastIndexOf(QLatin1Char('/')));
        lines.append(passed("target", QStringLiteral("%1 is new on %2; its parent %3 exists")
                                          .arg(target, mission.host, receivesInto)));
    }
    if (!lines.first().ok)
        return lines;
    lines.append(replicaSpace(local, dataset, source, replica.exists(), remote, receivesInto,
                              QStringLiteral("in %1 on %2").arg(receivesInto, mission.host)));
    return lines;
}

QList<MissionCheck::Line> MissionCheck::checkPull(const Mission &mission) const
{
    QList<Line> lines;
    const int at = mission.path.indexOf(QLatin1Char('@'));
    const QString source = at > 0 ? mission.path.left(at) : mission.path;
    const ReplicationSide remote(services.runner, mission.endpoint(), mission.passwd);
    TreeListing tree;
    if (!remoteLogin(mission, remote, source, tree, lines))
        return lines;
    const ReplicationSide local(services.runner);
    lines.append(sourceDataset(remote, source, tree));
    lines.append(localPool(local, mission.pool));
    if (!tree.exists() || !lines.last().ok)
        return lines;
    qint64 needed = 0;
    qint64 free = 0;
    qint64 ignored = 0;
    QString error;
    if (!spaceOf(remote, source, needed, ignored, error) || !spaceOf(local, mission.pool, ignored, free, error)) {
        lines.append(failed("space", error));
        return lines;
    }
    lines.append(spaceLine(needed, free, QStringLiteral("in the pool %1").arg(mission.pool)));
    return lines;
}

QList<MissionCheck::Line> MissionCheck::checkMirror(const Mission &mission) const
{
    QList<Line> lines;
    const ReplicationSide remote(services.runner, mission.endpoint(), mission.passwd);
    TreeListing source;
    if (!remoteLogin(mission, remote, mission.path, source, lines))
        return lines;
    lines.append(sourceDataset(remote, mission.path, source));
    const ReplicationSide local(services.runner);
    const QString replica = mission.dataset();
    lines.append(localPool(local, mission.pool));
    if (!lines.last().ok)
        return lines;
    TQ2Journals journals;
    TreeListing target;
    QString receivesInto = replica;
    if (!local.listTree(journals, replica, target)
        || (!target.exists() && !EndpointCheck::sendTarget(journals, local, replica))) {
        lines.append(failed("target", Run::errorText(journals)));
        return lines;
    }
    if (target.exists()) {
        lines.append(passed("target", QStringLiteral("%1 exists with %2").arg(replica, snapshotCount(target.top()))));
    } else {
        receivesInto = replica.left(replica.lastIndexOf(QLatin1Char('/')));
        lines.append(passed("target", QStringLiteral("%1 is new; its parent %2 exists").arg(replica, receivesInto)));
    }
    if (!source.exists())
        return lines;
    lines.append(replicaSpace(remote, mission.path, source, target.exists(), local, receivesInto,
                              QStringLiteral("in %1").arg(receivesInto)));
    return lines;
}

QList<MissionCheck::Line> MissionCheck::checkExport(const Mission &mission) const
{
    QList<Line> lines;
    const ReplicationSide local(services.runner);
    TreeListing source;
    lines.append(localDataset(local, mission.dataset(), source));
    const QFileInfo directory(mission.path);
    if (!directory.isDir()) {
        lines.append(failed("directory", QStringLiteral("%1 is not a directory on this host").arg(mission.path)));
        return lines;
    }
    lines.append(passed("directory", QStringLiteral("%1 exists").arg(mission.path)));
    if (!lines.first().ok)
        return lines;
    qint64 needed = 0;
    qint64 ignored = 0;
    QString error;
    if (!spaceOf(local, mission.dataset(), needed, ignored, error)) {
        lines.append(failed("space", error));
        return lines;
    }
    // Before compression: an upper bound of the file.
    const qint64 free = QStorageInfo(mission.path).bytesAvailable();
    lines.append(spaceLine(needed, qMax<qint64>(0, free), QStringLiteral("in %1").arg(mission.path)));
    return lines;
}

QList<MissionCheck::Line> MissionCheck::checkRestore(const Mission &mission) const
{
    QList<Line> lines;
    const QFileInfo file(mission.path);
    const bool readable = file.isFile() && file.isReadable();
    if (readable)
        lines.append(passed("file", QStringLiteral("%1 (%2)").arg(mission.path, bytesText(file.size()))));
    else
        lines.append(failed("file", QStringLiteral("%1 is not a readable file on this host").arg(mission.path)));
    const ReplicationSide local(services.runner);
    lines.append(localPool(local, mission.pool));
    if (!readable || !lines.last().ok)
        return lines;
    qint64 free = 0;
    qint64 ignored = 0;
    QString error;
    if (!spaceOf(local, mission.pool, ignored, free, error)) {
        lines.append(failed("space", error));
        return lines;
    }
    // A compressed file: what it unpacks to is not known before the run.
    lines.append(spaceLine(file.size(), free, QStringLiteral("in the pool %1 (compressed size)").arg(mission.pool)));
    return lines;
}
