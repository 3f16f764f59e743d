#include "ownerlisting.h"

#include "replicationoutput.h"
#include "zfsoutput.h"

#include <QStringList>

namespace OwnerListing {

bool line(const QByteArray &text, const QString &top, QString &relative, OwnedSnapshot &snapshot)
{
    // The first three columns are those of the tree listing.
    if (!ReplicationOutput::treeSnapshotLine(text, top, relative, snapshot.info))
        return false;
    const QStringList fields = ZfsOutput::decode(text).split(QLatin1Char('\t'));
    if (fields.size() != 4)
        return false;
    snapshot.owner = fields.at(3).trimmed();
    return !snapshot.owner.isEmpty();
}

} // namespace OwnerListing
