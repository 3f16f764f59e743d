// The space a dataset takes and the space left for it, as the dry run of a
// mission compares them: the argument list of the one `zfs list` that asks
// and the pure reading of its answer.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace SpaceQuery {

// $ zfs list -Hp -o used,available tank/data
// 1073741824	4294967296
QStringList args(const QString &dataset);

// Reads the first line of the answer above; false (both left as they are)
// when it is not two whole numbers separated by a tab.
bool parse(const QByteArray &output, qint64 &used, qint64 &available);

} // namespace SpaceQuery
