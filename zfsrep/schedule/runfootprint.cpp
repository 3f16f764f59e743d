#include "runfootprint.h"

#include "mission.h"

namespace {

// A dataset name without the slashes a hand-written field may carry at
// either end ("tank/a/" and "tank/a" are one tree).
QString tree(const QString &name)
{
    int first = 0;
    int last = name.size();
    while (first < last && name.at(first) == QLatin1Char('/'))
        ++first;
    while (last > first && name.at(last - 1) == QLatin1Char('/'))
        --last;
    return name.mid(first, last - first);
}

QString joined(const QString &parent, const QString &child)
{
    const QString head = tree(parent);
    const QString tail = tree(child);
    if (head.isEmpty() || tail.isEmpty())
        return head.isEmpty() ? tail : head;
    return head + QLatin1Char('/') + tail;
}

} // namespace

RunFootprint RunFootprint::of(const Mission &mission)
{
    RunFootprint footprint;
    footprint.localTree = joined(mission.pool, mission.name);
    switch (mission.action) {
    case Mission::Send:
        footprint.remoteTree = joined(mission.path, mission.name);
        break;
    case Mission::Pull:
    case Mission::Mirror:
        footprint.remoteTree = tree(mission.path);
        break;
    default:
        return footprint;
    }
    // Host names are compared without regard to case, as DNS does.
    footprint.endpoint = mission.host.toLower() + QLatin1Char(':') + QString::number(mission.port);
    return footprint;
}

bool RunFootprint::treesOverlap(const QString &a, const QString &b)
{
    const QString first = tree(a);
    const QString second = tree(b);
    if (first.isEmpty() || second.isEmpty())
        return false;
    const QString &shorter = first.size() <= second.size() ? first : second;
    const QString &longer = first.size() <= second.size() ? second : first;
    if (!longer.startsWith(shorter))
        return false;
    return longer.size() == shorter.size() || longer.at(shorter.size()) == QLatin1Char('/');
}

bool RunFootprint::overlapsRemotely(const RunFootprint &other) const
{
    return !endpoint.isEmpty() && endpoint == other.endpoint && treesOverlap(remoteTree, other.remoteTree);
}
