#include "carrychain.h"

#include "ownsnapshots.h"

#include <QSet>

namespace CarryChain {

bool isSeries(const QString &carry) { return carry.trimmed() == QLatin1String("series"); }

QStringList steps(const QList<OwnedSnapshot> &source, const QList<SnapshotInfo> &target, const QString &series,
                  const QString &mark)
{
    QSet<quint64> held;
    for (const SnapshotInfo &snapshot : target)
        held.insert(snapshot.guid);
    int base = -1;
    for (int i = source.size() - 1; i >= 0 && base < 0; --i) {
        if (held.contains(source.at(i).info.guid))
            base = i;
    }
    QStringList chain;
    if (base < 0)
        return chain;
    for (int i = base + 1; i < source.size(); ++i) {
        if (OwnSnapshots::isOwn(source.at(i).info.name, source.at(i).owner, series, mark))
            chain.append(source.at(i).info.name);
    }
    return chain;
}

} // namespace CarryChain
