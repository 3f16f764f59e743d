#include "replicationoutput.h"

#include "zfsoutput.h"

namespace ReplicationOutput {

QList<SnapshotInfo> snapshots(const QByteArray &output, const QString &dataset)
{
    QList<SnapshotInfo> result;
    const QString prefix = dataset + QLatin1Char('@');
    for (const QString &line : ZfsOutput::lines(output)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() < 3 || !fields.at(0).startsWith(prefix))
            continue;
        bool guidOk = false;
        bool txgOk = false;
        SnapshotInfo info;
        info.name = fields.at(0).mid(prefix.size());
        info.guid = fields.at(1).trimmed().toULongLong(&guidOk);
        info.createtxg = fields.at(2).trimmed().toULongLong(&txgOk);
        if (!guidOk || !txgOk || info.name.isEmpty() || info.name.contains(QLatin1Char('@')))
            continue;
        result.append(info);
    }
    return result;
}

QString resumeToken(const QByteArray &output)
{
    const QString value = ZfsOutput::decode(output).trimmed();
    // A token is one word ("1-e604ea4bf-e0-789c..."); anything else is not one.
    if (value.isEmpty() || value == QLatin1String("-"))
        return QString();
    for (const QChar c : value) {
        if (c.isSpace())
            return QString();
    }
    return value;
}

bool isMissingDataset(const QString &errorText)
{
    return errorText.contains(QLatin1String("dataset does not exist"));
}

bool isExistingDataset(const QString &errorText)
{
    return errorText.contains(QLatin1String("dataset already exists"));
}

bool isStaleToken(const QString &errorText)
{
    return errorText.contains(QLatin1String("no longer exists"))
           || errorText.contains(QLatin1String("is no longer the same snapshot"))
           || errorText.contains(QLatin1String("resume token is corrupt"));
}

bool isMissingHold(const QString &errorText)
{
    return errorText.contains(QLatin1String("no such tag on this dataset"));
}

} // namespace ReplicationOutput
