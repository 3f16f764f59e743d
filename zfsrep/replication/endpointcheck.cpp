#include "endpointcheck.h"

#include "replicationside.h"
#include "snapshotlisting.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"

namespace EndpointCheck {

bool sendTarget(TQ2Journals &journals, const ReplicationSide &target, const QString &dataset)
{
    // The tree's own listing: the login, the host key and the zfs on the
    // far side in one question (the run asks it again after the snapshot).
    TreeListing tree;
    if (!target.listTree(journals, dataset, tree))
        return false;
    if (tree.exists())
        return true;
    const int slash = dataset.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash > 0 ? dataset.left(slash) : QString();
    DatasetListing above;
    if (parent.isEmpty() || !target.list(journals, parent, above))
        return false;
    if (above.exists)
        return true;
    journals.add(TQ2PLACE(), TQ2Error::ERR_NOT_EXISTS, QStringLiteral("check"), false,
                 target.named(QStringLiteral("cannot receive into %1: the parent %2 does not exist (nothing was snapshotted)")
                                  .arg(dataset, parent)),
                 QString());
    return false;
}

} // namespace EndpointCheck
