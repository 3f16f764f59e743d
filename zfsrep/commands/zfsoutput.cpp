#include "zfsoutput.h"

#include "tq2utils.h"

#include <limits>

namespace ZfsOutput {

namespace {

constexpr qint64 kMiB = 1048576;

qint64 propertyValue(const QJsonObject &properties, const QString &name)
{
    return toInt64(properties.value(name).toObject().value(QStringLiteral("value")));
}

// a + b, held at the limits of qint64 instead of overflowing: sizes come from
// the tool's text and may be anything.
qint64 saturatedSum(qint64 a, qint64 b)
{
    qint64 sum = 0;
    if (!__builtin_add_overflow(a, b, &sum))
        return sum;
    return a < 0 ? std::numeric_limits<qint64>::min() : std::numeric_limits<qint64>::max();
}

// The fields a JSON listing gives every entry besides its properties, read
// off the name: "pool/fs@snap" is pool "pool", dataset "pool/fs", snapshot "snap".
QJsonObject entryNamed(const QString &name)
{
    int end = 0;
    while (end < name.size() && !QStringLiteral("/@#").contains(name.at(end)))
        ++end;
    QJsonObject entry{{QStringLiteral("name"), name}, {QStringLiteral("pool"), name.left(end)}};
    const int at = name.indexOf(QLatin1Char('@'));
    if (at >= 0) {
        entry.insert(QStringLiteral("type"), QStringLiteral("SNAPSHOT"));
        entry.insert(QStringLiteral("dataset"), name.left(at));
        entry.insert(QStringLiteral("snapshot_name"), name.mid(at + 1));
    } else if (name.contains(QLatin1Char('#'))) {
        entry.insert(QStringLiteral("type"), QStringLiteral("BOOKMARK"));
    }
    return entry;
}

int datasetType(const QString &type)
{
    if (type == QLatin1String("FILESYSTEM"))
        return 1;
    if (type == QLatin1String("VOLUME"))
        return 2;
    return 0;
}

} // namespace

QString decode(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul >= 0 ? bytes.left(nul) : bytes);
}

QStringList lines(const QString &text)
{
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList lines(const QByteArray &bytes) { return lines(decode(bytes)); }

QStringList fields(const QString &line)
{
    QString spaced = line;
    spaced.replace(QLatin1Char('\t'), QLatin1Char(' '));
    return spaced.split(QLatin1Char(' '), Qt::SkipEmptyParts);
}

QStringList columns(const QString &line)
{
    return line.contains(QLatin1Char('\t')) ? line.split(QLatin1Char('\t')) : fields(line);
}

QJsonObject poolMap(const QByteArray &datasetsJson, const QByteArray &poolsJson)
{
    return poolMap(jsonListing(datasetsJson, QStringLiteral("datasets")), jsonListing(poolsJson, QStringLiteral("pools")));
}

QJsonObject poolMap(const QJsonObject &datasets, const QJsonObject &pools)
{
    QJsonObject map;
    for (auto pool = pools.constBegin(); pool != pools.constEnd(); ++pool) {
        const QString poolName = pool.key();
        const QJsonObject properties = pool.value().toObject().value(QStringLiteral("properties")).toObject();
        QJsonObject entry{
            {QStringLiteral("name"), poolName},
            {QStringLiteral("size"), propertyValue(properties, QStringLiteral("size")) / kMiB},
            {QStringLiteral("free"), propertyValue(properties, QStringLiteral("free")) / kMiB},
        };
        const QString prefix = poolName + QLatin1Char('/');
        QJsonObject items;
        for (auto ds = datasets.constBegin(); ds != datasets.constEnd(); ++ds) {
            if (!ds.key().startsWith(prefix))
                continue;
            const QJsonObject dataset = ds.value().toObject();
            const QJsonObject props = dataset.value(QStringLiteral("properties")).toObject();
            const QString relative = ds.key().mid(prefix.size());
            QJsonObject item{
                {QStringLiteral("path"), ds.key()},
                {QStringLiteral("name"), relative},
                {QStringLiteral("type"), datasetType(dataset.value(QStringLiteral("type")).toString())},
                {QStringLiteral("used"), propertyValue(props, QStringLiteral("used"))},
                {QStringLiteral("available"), propertyValue(props, QStringLiteral("available")) / kMiB},
            };
            const QString mountpoint =
                props.value(QStringLiteral("mountpoint")).toObject().value(QStringLiteral("value")).toString();
            if (!mountpoint.isEmpty() && mountpoint != QLatin1String("-"))
                item.insert(QStringLiteral("mountpoint"), mountpoint);
            items.insert(relative, item);
        }
        if (!items.isEmpty())
            entry.insert(QStringLiteral("items"), items);
        map.insert(poolName, entry);
    }
    return map;
}

QJsonArray snapshotRecords(const QByteArray &json)
{
    return snapshotRecords(jsonListing(json, QStringLiteral("datasets")));
}

QJsonArray snapshotRecords(const QJsonObject &snapshots)
{
    QJsonArray records;
    for (auto it = snapshots.constBegin(); it != snapshots.constEnd(); ++it) {
        const QJsonObject snapshot = it.value().toObject();
        const QJsonObject props = snapshot.value(QStringLiteral("properties")).toObject();
        records.append(QJsonObject{
            {QStringLiteral("name"), it.key()},
            {QStringLiteral("used"),
             saturatedSum(propertyValue(props, QStringLiteral("used")), propertyValue(props, QStringLiteral("referenced")))},
            {QStringLiteral("pool"), snapshot.value(QStringLiteral("pool")).toString()},
            {QStringLiteral("dataset"), snapshot.value(QStringLiteral("dataset")).toString()},
            {QStringLiteral("snapshot"), snapshot.value(QStringLiteral("snapshot_name")).toString()},
        });
    }
    return records;
}

QJsonObject jsonListing(const QByteArray &json, const QString &member)
{
    return toJsonObject(decode(json)).value(member).toObject();
}

QJsonObject textListing(const QByteArray &text, const QStringList &columns)
{
    QJsonObject entries;
    if (columns.isEmpty())
        return entries;
    for (const QString &line : lines(text)) {
        QStringList values = line.split(QLatin1Char('\t'));
        if (values.size() < columns.size())
            continue;
        // A value holding a tab (a mount point may) belongs to the last column.
        const QString last = values.mid(columns.size() - 1).join(QLatin1Char('\t'));
        values = values.mid(0, columns.size() - 1) << last;
        const QString name = values.at(0);
        if (name.isEmpty())
            continue;
        QJsonObject entry = entryNamed(name);
        QJsonObject properties;
        for (int i = 1; i < columns.size(); ++i) {
            if (columns.at(i) == QLatin1String("type"))
                entry.insert(QStringLiteral("type"), values.at(i).toUpper());
            else
                properties.insert(columns.at(i), QJsonObject{{QStringLiteral("value"), values.at(i)}});
        }
        entry.insert(QStringLiteral("properties"), properties);
        entries.insert(name, entry);
    }
    return entries;
}

bool refusesJson(int exitCode, const QByteArray &standardError)
{
    return exitCode == 2 && standardError.contains("invalid option 'j'");
}

qint64 resumedBytes(const QByteArray &output)
{
    for (const QString &line : lines(output)) {
        const QString entry = line.trimmed();
        if (!entry.startsWith(QLatin1String("bytes = ")))
            continue;
        QString value = entry.mid(8).trimmed();
        const bool hex = value.startsWith(QLatin1String("0x"));
        bool ok = false;
        const qint64 bytes = hex ? value.mid(2).toLongLong(&ok, 16) : value.toLongLong(&ok, 10);
        return ok && bytes > 0 ? bytes : 0;
    }
    return 0;
}

qint64 sendSize(const QByteArray &output)
{
    for (const QString &line : lines(output)) {
        const QStringList parts = fields(line);
        if (parts.size() >= 2 && parts.at(0) == QLatin1String("size")) {
            bool ok = false;
            const qint64 size = parts.at(1).toLongLong(&ok, 10);
            return ok ? size : 0;
        }
    }
    return 0;
}

QList<QPair<QString, QString>> holds(const QByteArray &output)
{
    QList<QPair<QString, QString>> result;
    for (const QString &line : lines(output)) {
        const QStringList parts = columns(line);
        if (parts.size() < 2)
            continue;
        const QString snapshot = parts.at(0).trimmed();
        const QString tag = parts.at(1).trimmed();
        if (!snapshot.isEmpty() && !tag.isEmpty())
            result.append({snapshot, tag});
    }
    return result;
}

QJsonObject remotePools(const QByteArray &output)
{
    QJsonObject pools;
    for (const QString &line : lines(output)) {
        const QStringList parts = columns(line);
        if (parts.size() < 3)
            continue;
        pools.insert(parts.at(0), QJsonObject{
                                      {QStringLiteral("name"), parts.at(0)},
                                      {QStringLiteral("size"), toSizeMB(parts.at(1))},
                                      {QStringLiteral("free"), toSizeMB(parts.at(2))},
                                  });
    }
    return pools;
}

QStringList snapshotNames(const QByteArray &output)
{
    QStringList names;
    for (const QString &line : lines(output))
        names.append(line.trimmed());
    return names;
}

QJsonObject snapshotTree(const QByteArray &snapshotList, const QByteArray &datasetList)
{
    const QStringList snapshots = lines(snapshotList);
    QJsonObject tree;
    for (const QString &line : lines(datasetList)) {
        const QStringList parts = columns(line);
        if (parts.size() < 2 || parts.at(1) == QLatin1String("legacy"))
            continue;
        const QStringList pieces = parts.at(0).split(QLatin1Char('/'), Qt::SkipEmptyParts);
        if (pieces.size() == 1) {
            if (!tree.contains(pieces.at(0)))
                tree.insert(pieces.at(0), QJsonObject());
        } else if (pieces.size() == 2) {
            QJsonObject pool = tree.value(pieces.at(0)).toObject();
            const QString prefix = pieces.at(0) + QLatin1Char('/') + pieces.at(1) + QLatin1Char('@');
            QJsonArray names;
            for (const QString &snapshot : snapshots) {
                if (snapshot.startsWith(prefix))
                    names.append(snapshot);
            }
            pool.insert(pieces.at(1), names);
            tree.insert(pieces.at(0), pool);
        }
    }
    return tree;
}

} // namespace ZfsOutput
