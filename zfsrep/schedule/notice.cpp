#include "notice.h"

#include "printabletext.h"

#include <QJsonDocument>

namespace {

// Characters of the error text a notice carries.
constexpr int kLongestError = 2000;

// Where a mission reads and where it writes, as people name them.
void endsOf(const Mission &mission, QString &source, QString &target)
{
    const QString remote = mission.host + QLatin1Char(':') + QString::number(mission.port) + QLatin1Char('/');
    switch (mission.action) {
    case Mission::Send:
        source = mission.dataset();
        target = remote + mission.path + QLatin1Char('/') + mission.name;
        break;
    case Mission::Pull:
    case Mission::Mirror:
        source = remote + mission.path;
        target = mission.dataset();
        break;
    case Mission::Export:
        source = mission.dataset();
        target = mission.path;
        break;
    case Mission::Restore:
        source = mission.path;
        target = mission.dataset();
        break;
    default: break;
    }
}

} // namespace

QString Notice::kindOf(int action)
{
    switch (action) {
    case Mission::Send: return QStringLiteral("send");
    case Mission::Pull: return QStringLiteral("pull");
    case Mission::Export: return QStringLiteral("export");
    case Mission::Restore: return QStringLiteral("restore");
    case Mission::Mirror: return QStringLiteral("mirror");
    default: return QStringLiteral("action %1").arg(action);
    }
}

Notice Notice::of(const QString &kindWord, const Mission &mission, const RunRecord &run)
{
    Notice notice;
    notice.notice = kindWord;
    notice.msnno = mission.msnno;
    notice.caption = PrintableText::replaced(mission.caption);
    notice.kind = kindOf(mission.action);
    endsOf(mission, notice.source, notice.target);
    notice.source = PrintableText::replaced(notice.source);
    notice.target = PrintableText::replaced(notice.target);
    notice.outcome = run.outcome;
    notice.error = PrintableText::replaced(run.error.left(kLongestError));
    notice.bytes = run.bytes;
    notice.duration = run.ended > run.started ? run.ended - run.started : 0;
    notice.runno = run.runno;
    notice.time = run.ended;
    return notice;
}

QJsonObject Notice::toJson() const
{
    return QJsonObject{
        {QStringLiteral("notice"), notice}, {QStringLiteral("msnno"), msnno},
        {QStringLiteral("caption"), caption}, {QStringLiteral("kind"), kind},
        {QStringLiteral("source"), source}, {QStringLiteral("target"), target},
        {QStringLiteral("outcome"), outcome}, {QStringLiteral("error"), error},
        {QStringLiteral("bytes"), bytes}, {QStringLiteral("duration"), duration},
        {QStringLiteral("runno"), runno}, {QStringLiteral("time"), time},
    };
}

QByteArray Notice::toBody() const { return QJsonDocument(toJson()).toJson(QJsonDocument::Compact); }

QMap<QString, QString> Notice::environment() const
{
    return {
        {QStringLiteral("ZFSREP_NOTICE"), notice},
        {QStringLiteral("ZFSREP_MISSION"), QString::number(msnno)},
        {QStringLiteral("ZFSREP_CAPTION"), caption},
        {QStringLiteral("ZFSREP_KIND"), kind},
        {QStringLiteral("ZFSREP_SOURCE"), source},
        {QStringLiteral("ZFSREP_TARGET"), target},
        {QStringLiteral("ZFSREP_OUTCOME"), outcome},
        {QStringLiteral("ZFSREP_ERROR"), error},
        {QStringLiteral("ZFSREP_BYTES"), QString::number(bytes)},
        {QStringLiteral("ZFSREP_DURATION"), QString::number(duration)},
        {QStringLiteral("ZFSREP_RUN"), QString::number(runno)},
        {QStringLiteral("ZFSREP_TIME"), QString::number(time)},
    };
}
