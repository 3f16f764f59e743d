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

namespace {

// The name of `dataset` below `top` ("" for the top itself); false when it
// is outside the tree.
bool relativeName(const QString &dataset, const QString &top, QString &relative)
{
    if (dataset == top) {
        relative.clear();
        return true;
    }
    if (!dataset.startsWith(top + QLatin1Char('/')) || dataset.size() <= top.size() + 1)
        return false;
    relative = dataset.mid(top.size() + 1);
    return true;
}

} // namespace

QMap<QString, QList<SnapshotInfo>> treeSnapshots(const QByteArray &output, const QString &top)
{
    QMap<QString, QList<SnapshotInfo>> result;
    for (const QString &line : ZfsOutput::lines(output)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        const int at = fields.at(0).indexOf(QLatin1Char('@'));
        QString relative;
        if (fields.size() < 3 || at <= 0 || !relativeName(fields.at(0).left(at), top, relative))
            continue;
        bool guidOk = false;
        bool txgOk = false;
        SnapshotInfo info;
        info.name = fields.at(0).mid(at + 1);
        info.guid = fields.at(1).trimmed().toULongLong(&guidOk);
        info.createtxg = fields.at(2).trimmed().toULongLong(&txgOk);
        if (!guidOk || !txgOk || info.name.isEmpty() || info.name.contains(QLatin1Char('@')))
            continue;
        result[relative].append(info);
    }
    return result;
}

QMap<QString, QString> treeTokens(const QByteArray &output, const QString &top)
{
    QMap<QString, QString> result;
    for (const QString &line : ZfsOutput::lines(output)) {
        const int tab = line.lastIndexOf(QLatin1Char('\t'));
        QString relative;
        if (tab <= 0 || !relativeName(line.left(tab), top, relative))
            continue;
        result.insert(relative, resumeToken(line.mid(tab + 1).toUtf8()));
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
