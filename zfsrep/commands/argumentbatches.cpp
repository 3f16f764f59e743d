#include "argumentbatches.h"

namespace ArgumentBatches {

QList<QStringList> split(const QStringList &items, int limit)
{
    QList<QStringList> groups;
    qint64 bytes = 0;
    for (const QString &item : items) {
        // As a remote command quotes it: two quotes, a separator, and three
        // more bytes for every single quote inside ('\'').
        const qint64 size = qint64(item.toUtf8().size()) + 3 + 3 * item.count(QLatin1Char('\''));
        if (groups.isEmpty() || (bytes + size > limit && !groups.last().isEmpty())) {
            groups.append(QStringList());
            bytes = 0;
        }
        groups.last().append(item);
        bytes += size;
    }
    return groups;
}

} // namespace ArgumentBatches
