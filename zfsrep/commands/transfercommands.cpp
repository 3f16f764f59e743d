#include "transfercommands.h"

#include "sshlogin.h"
#include "zfscommands.h"

using ZfsCommands::shellQuote;

namespace TransferCommands {

QString sshPrefix(const Endpoint &endpoint, const QString &remoteCommand)
{
    const bool key = SshLogin::usesKey(endpoint.passwordless);
    QString text = (key ? QStringLiteral("ssh -p ") : QStringLiteral("sshpass -e ssh -p "))
                   + shellQuote(QString::number(endpoint.port));
    // Everything after "-p PORT".
    const QStringList login = SshLogin::arguments(endpoint.port, key).mid(2);
    for (const QString &option : login + ZfsCommands::sshOptions(endpoint.controlPath))
        text += QLatin1Char(' ') + ZfsCommands::shellWord(option);
    return text + QLatin1Char(' ') + shellQuote(endpoint.userid + QLatin1Char('@') + endpoint.host) + QLatin1Char(' ')
           + shellQuote(remoteCommand);
}

namespace {

struct MeterHelper {
    QString path;
    int bytes = 0;
};

MeterHelper &meterHelper()
{
    static MeterHelper helper;
    return helper;
}

} // namespace

void setMeterPipeBuffer(const QString &helper, int bytes) { meterHelper() = MeterHelper{helper, bytes}; }

QString pvMeter(qint64 rateLimit)
{
    const MeterHelper &helper = meterHelper();
    QString text = helper.path.isEmpty() ? QString()
                                         : ZfsCommands::shellWord(helper.path) + QStringLiteral(" --pipe-buffer ")
                                               + QString::number(helper.bytes) + QLatin1Char(' ');
    text += QStringLiteral("pv -f -n -b -t -i 1");
    if (rateLimit > 0)
        text += QStringLiteral(" -L ") + QString::number(rateLimit);
    return text;
}

QString stream(const QString &send, const QString &meter, const QString &receive)
{
    return send + QStringLiteral(" | ") + meter + QStringLiteral(" | ") + receive;
}

QString pvStage(qint64 size) { return pvMeter(0) + QStringLiteral(" -s ") + QString::number(size); }

namespace {

QString localReceive(const QString &target)
{
    QStringList arguments = ZfsCommands::restoreReceiveArgs(target);
    arguments.removeLast();
    return ZfsCommands::commandText(QStringLiteral("zfs"), arguments) + QLatin1Char(' ') + shellQuote(target);
}

QString pipe(std::initializer_list<QString> stages)
{
    QStringList parts;
    for (const QString &stage : stages)
        parts.append(stage);
    return parts.join(QStringLiteral(" | "));
}

} // namespace

QString restoreFromFile(const QString &file, qint64 size, const QString &target)
{
    return pipe({QStringLiteral("cat -- ") + shellQuote(file), pvStage(size), QStringLiteral("gzip -dc"),
                 localReceive(target)});
}

QString exportToDescriptor(const QString &snapshot, qint64 size, const QString &compressStage, int descriptor, bool raw)
{
    return pipe({(raw ? QStringLiteral("zfs send -w -R ") : QStringLiteral("zfs send -R ")) + shellQuote(snapshot), pvStage(size),
                 compressStage + QStringLiteral(" >&") + QString::number(descriptor)});
}

QString restoreFromFileWith(const QString &file, qint64 size, const QString &decompressStage, const QString &target)
{
    return pipe({QStringLiteral("cat -- ") + shellQuote(file), pvStage(size), decompressStage, localReceive(target)});
}

QString restoreFromDescriptor(int descriptor, qint64 size, const QString &decompressStage, const QString &target)
{
    return pipe({QStringLiteral("cat <&") + QString::number(descriptor), pvStage(size), decompressStage,
                 localReceive(target)});
}

QString checkFile(const QString &file, qint64 size, const QString &testStage)
{
    return pipe({QStringLiteral("cat -- ") + shellQuote(file), pvStage(size), testStage});
}

QString stageShellCommand(const QString &pipeline) { return QStringLiteral("set -o pipefail; ") + pipeline; }

} // namespace TransferCommands
