#include "transfercommands.h"

#include "zfscommands.h"

using ZfsCommands::shellQuote;

namespace TransferCommands {

QString sshPrefix(const Endpoint &endpoint, const QString &remoteCommand)
{
    QString text = QStringLiteral("sshpass -e ssh -p ") + shellQuote(QString::number(endpoint.port))
                   + QStringLiteral(" -o 'StrictHostKeyChecking no'");
    for (const QString &option : ZfsCommands::sshOptions(endpoint.controlPath))
        text += QLatin1Char(' ') + ZfsCommands::shellWord(option);
    return text + QLatin1Char(' ') + shellQuote(endpoint.userid + QLatin1Char('@') + endpoint.host) + QLatin1Char(' ')
           + shellQuote(remoteCommand);
}

QString pvMeter(qint64 rateLimit)
{
    QString text = QStringLiteral("pv -f -n -b -t -i 1");
    if (rateLimit > 0)
        text += QStringLiteral(" -L ") + QString::number(rateLimit);
    return text;
}

QString stream(const QString &send, const QString &meter, const QString &receive)
{
    return send + QStringLiteral(" | ") + meter + QStringLiteral(" | ") + receive;
}

QString pvStage(qint64 size) { return QStringLiteral("pv -r -p -s ") + QString::number(size); }

namespace {

QString toRemote(const Endpoint &endpoint, const QString &remoteDataset)
{
    return sshPrefix(endpoint, QStringLiteral("/usr/sbin/zfs recv ") + shellQuote(remoteDataset));
}

QString fromRemote(const Endpoint &endpoint, const QString &remoteSend)
{
    return sshPrefix(endpoint, remoteSend);
}

QString localReceive(const QString &target) { return QStringLiteral("zfs recv -Fu ") + shellQuote(target); }

QString pipe(std::initializer_list<QString> stages)
{
    QStringList parts;
    for (const QString &stage : stages)
        parts.append(stage);
    return parts.join(QStringLiteral(" | "));
}

} // namespace

QString sendFull(const QString &snapshot, qint64 size, const Endpoint &endpoint, const QString &remoteDataset)
{
    return pipe({QStringLiteral("zfs send -w ") + shellQuote(snapshot), pvStage(size), toRemote(endpoint, remoteDataset)});
}

QString sendIncremental(const QString &first, const QString &last, qint64 size, const Endpoint &endpoint,
                        const QString &remoteDataset)
{
    return pipe({QStringLiteral("zfs send -wRI ") + shellQuote(first) + QLatin1Char(' ') + shellQuote(last),
                 pvStage(size), toRemote(endpoint, remoteDataset)});
}

QString receiveFull(const Endpoint &endpoint, const QString &remoteSnapshot, qint64 size, const QString &target)
{
    return pipe({fromRemote(endpoint, QStringLiteral("zfs send -R ") + shellQuote(remoteSnapshot)), pvStage(size),
                 localReceive(target)});
}

QString receiveIncremental(const Endpoint &endpoint, const QString &first, const QString &last, qint64 size,
                           const QString &target)
{
    return pipe({fromRemote(endpoint, QStringLiteral("zfs send -RI ") + shellQuote(first) + QLatin1Char(' ') + shellQuote(last)),
                 pvStage(size), localReceive(target)});
}

QString exportToFile(const QString &snapshot, qint64 size, const QString &file)
{
    return pipe({QStringLiteral("zfs send -R ") + shellQuote(snapshot), pvStage(size),
                 QStringLiteral("gzip > ") + shellQuote(file)});
}

QString restoreFromFile(const QString &file, qint64 size, const QString &target)
{
    return pipe({QStringLiteral("cat -- ") + shellQuote(file), pvStage(size), QStringLiteral("gzip -dc"),
                 localReceive(target)});
}

QString exportToFileWith(const QString &snapshot, qint64 size, const QString &compressStage, const QString &file)
{
    return pipe({QStringLiteral("zfs send -R ") + shellQuote(snapshot), pvStage(size),
                 compressStage + QStringLiteral(" > ") + shellQuote(file)});
}

QString restoreFromFileWith(const QString &file, qint64 size, const QString &decompressStage, const QString &target)
{
    return pipe({QStringLiteral("cat -- ") + shellQuote(file), pvStage(size), decompressStage, localReceive(target)});
}

QString checkFile(const QString &file, qint64 size, const QString &testStage)
{
    return pipe({QStringLiteral("cat -- ") + shellQuote(file), pvStage(size), testStage});
}

QString stageShellCommand(const QString &pipeline) { return QStringLiteral("set -o pipefail; ") + pipeline; }

} // namespace TransferCommands
