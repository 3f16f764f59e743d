#include "retentioncommands.h"

#include "argumentbatches.h"
#include "zfscommands.h"

namespace RetentionCommands {

QStringList markedSnapshotArgs(const QString &snapshot, const QString &mark)
{
    QStringList arguments{QStringLiteral("snapshot"), QStringLiteral("-r")};
    if (!mark.isEmpty())
        arguments << QStringLiteral("-o") << kOwnerProperty + QLatin1Char('=') + mark;
    return arguments << snapshot;
}

QStringList snapshotNamesArgs(const QString &dataset)
{
    QStringList arguments{QStringLiteral("list"), QStringLiteral("-t"), QStringLiteral("snapshot"), QStringLiteral("-H"),
                          QStringLiteral("-o"), QStringLiteral("name")};
    if (!dataset.isEmpty())
        arguments.append(dataset);
    return arguments;
}

QStringList ownerTreeListArgs(const QString &dataset)
{
    return {"list", "-H", "-p", "-o", QStringLiteral("name,guid,createtxg,") + kOwnerProperty, "-t", "snapshot", "-s",
            "createtxg", "-r", dataset};
}

QStringList destroyManyArgs(const QString &dataset, const QStringList &names)
{
    return {QStringLiteral("destroy"), dataset + QLatin1Char('@') + names.join(QLatin1Char(','))};
}

QList<QList<QStringList>> destroyGroups(const QMap<QString, QStringList> &snapshots)
{
    // Each name counts as ArgumentBatches counts a word, its dataset once
    // more per batch of names, plus the program's path and the shell's
    // bookkeeping around each command.
    constexpr int kPerCommand = 64;
    QList<QList<QStringList>> groups;
    int bytes = 0;
    for (auto it = snapshots.constBegin(); it != snapshots.constEnd(); ++it) {
        const int datasetBytes = it.key().toUtf8().size() + kPerCommand;
        for (const QStringList &names : ArgumentBatches::split(it.value(), ArgumentBatches::kBytes - datasetBytes)) {
            int size = datasetBytes;
            for (const QString &name : names)
                size += name.toUtf8().size() + 1;
            if (groups.isEmpty() || (bytes + size > ArgumentBatches::kBytes && !groups.last().isEmpty())) {
                groups.append(QList<QStringList>());
                bytes = 0;
            }
            groups.last().append(destroyManyArgs(it.key(), names));
            bytes += size;
        }
    }
    return groups;
}

QString sequenceText(const QString &program, const QList<QStringList> &commands)
{
    QString text = QStringLiteral("s=0;");
    for (const QStringList &command : commands)
        text += QLatin1Char(' ') + ZfsCommands::commandText(program, command) + QStringLiteral(" || s=1;");
    return text + QStringLiteral(" exit $s");
}

} // namespace RetentionCommands
