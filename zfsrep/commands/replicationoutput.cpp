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
    for (const QByteArray &line : output.split('\n')) {
        QString relative;
        SnapshotInfo info;
        if (treeSnapshotLine(line, top, relative, info))
            result[relative].append(info);
    }
    return result;
}

bool treeSnapshotLine(const QByteArray &line, const QString &top, QString &relative, SnapshotInfo &info)
{
    const QStringList fields = ZfsOutput::decode(line).trimmed().split(QLatin1Char('\t'));
    const int at = fields.at(0).indexOf(QLatin1Char('@'));
    if (fields.size() < 3 || at <= 0 || !relativeName(fields.at(0).left(at), top, relative))
        return false;
    bool guidOk = false;
    bool txgOk = false;
    info.name = fields.at(0).mid(at + 1);
    info.guid = fields.at(1).trimmed().toULongLong(&guidOk);
    info.createtxg = fields.at(2).trimmed().toULongLong(&txgOk);
    return guidOk && txgOk && !info.name.isEmpty() && !info.name.contains(QLatin1Char('@'));
}

bool onlyMissingSnapshotWarnings(const QString &errorText, const QStringList &expected)
{
    static const QString kPrefix = QStringLiteral("WARNING: could not send ");
    static const QString kSuffix = QStringLiteral(": does not exist");
    int warnings = 0;
    for (const QString &raw : errorText.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.isEmpty())
            continue;
        if (!line.startsWith(kPrefix) || !line.endsWith(kSuffix))
            return false;
        const QString snapshot = line.mid(kPrefix.size(), line.size() - kPrefix.size() - kSuffix.size());
        const int at = snapshot.indexOf(QLatin1Char('@'));
        if (at <= 0 || !expected.contains(snapshot.left(at)))
            return false;
        ++warnings;
    }
    return warnings > 0;
}

QMap<QString, DatasetListing> treeStates(const QByteArray &output, const QString &top)
{
    QMap<QString, DatasetListing> result;
    for (const QString &line : ZfsOutput::lines(output)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        QString relative;
        if (fields.size() < 3 || !relativeName(fields.at(0), top, relative))
            continue;
        const QString &property = fields.at(1);
        const QString value = fields.mid(2).join(QLatin1Char('\t'));
        if (property == QLatin1String("receive_resume_token")) {
            DatasetListing &listing = result[relative];
            listing.exists = true;
            listing.resumeToken = resumeToken(value.toUtf8());
        } else if (property == QLatin1String("written")) {
            DatasetListing &listing = result[relative];
            listing.exists = true;
            bool ok = false;
            const qint64 written = value.trimmed().toLongLong(&ok);
            listing.written = ok && written >= 0 ? written : -1;
        }
    }
    return result;
}

DatasetListing datasetListing(const QByteArray &output, const QString &dataset)
{
    DatasetListing listing;
    const QString prefix = dataset + QLatin1Char('@');
    for (const QString &line : ZfsOutput::lines(output)) {
        const QStringList fields = line.split(QLatin1Char('\t'));
        if (fields.size() < 5)
            continue;
        if (fields.at(0) == dataset) {
            listing.exists = true;
            listing.resumeToken = resumeToken(fields.at(3).toUtf8());
            bool ok = false;
            const qint64 written = fields.at(4).trimmed().toLongLong(&ok);
            listing.written = ok && written >= 0 ? written : -1;
            continue;
        }
        if (!fields.at(0).startsWith(prefix))
            continue;
        bool guidOk = false;
        bool txgOk = false;
        SnapshotInfo info;
        info.name = fields.at(0).mid(prefix.size());
        info.guid = fields.at(1).trimmed().toULongLong(&guidOk);
        info.createtxg = fields.at(2).trimmed().toULongLong(&txgOk);
        if (guidOk && txgOk && !info.name.isEmpty() && !info.name.contains(QLatin1Char('@')))
            listing.snapshots.append(info);
    }
    if (!listing.exists)
        listing.snapshots.clear();
    return listing;
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

bool anyEncrypted(const QByteArray &output)
{
    for (const QString &line : ZfsOutput::lines(output)) {
        const QString value = line.trimmed();
        if (!value.isEmpty() && value != QLatin1String("off") && value != QLatin1String("-"))
            return true;
    }
    return false;
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
