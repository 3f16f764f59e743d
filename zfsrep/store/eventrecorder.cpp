#include "eventrecorder.h"

#include "printabletext.h"
#include "qmtarnlog.h"
#include "tq2utils.h"

#include <QJsonObject>

const QString EventRecorder::kApplication = QStringLiteral("zfsrep");

EventRecorder::EventRecorder() : tarnlog(std::make_unique<QmTarnlog>()) {}

EventRecorder::EventRecorder(const QString &databasePath) : tarnlog(std::make_unique<QmTarnlog>(databasePath)) {}

EventRecorder::~EventRecorder() = default;

void EventRecorder::open(const QString &databasePath) { tarnlog = std::make_unique<QmTarnlog>(databasePath); }

void EventRecorder::write(const Event &event)
{
    QJsonObject detail{
        {QStringLiteral("caption"), event.caption},
        {QStringLiteral("action"), event.action},
        {QStringLiteral("from"), event.from},
        {QStringLiteral("to"), event.to},
        {QStringLiteral("result"), event.succeeded ? 1 : 0},
    };
    if (!event.succeeded)
        detail.insert(QStringLiteral("error"), PrintableText::replaced(event.error));
    const QString message = event.symbol + QStringLiteral(": ") + event.dataset + event.direction + event.path;
    tarnlog->write(event.succeeded ? QStringLiteral("Information") : QStringLiteral("Error"), message, detail,
                   kApplication, QStringLiteral("SYSTEM"), QString(), QString());
}

void EventRecorder::writeHostKeyForgotten(const QString &host, int port, const QString &hostName, long long uid,
                                          const QString &user, bool found)
{
    const QString who = user.isEmpty() ? QStringLiteral("uid %1").arg(uid) : QStringLiteral("uid %1 (%2)").arg(uid).arg(user);
    const QJsonObject detail{
        {QStringLiteral("host"), host},   {QStringLiteral("port"), port},
        {QStringLiteral("uid"), double(uid)}, {QStringLiteral("user"), user},
        {QStringLiteral("found"), found ? 1 : 0},
    };
    tarnlog->write(QStringLiteral("Information"), QStringLiteral("GLOG_ZFSREP_HOSTKEY_FORGET: ") + hostName + QStringLiteral(" BY ") + who,
                   detail, kApplication, QStringLiteral("SYSTEM"), QString(), QString());
}

bool EventRecorder::list(QJsonArray &records)
{
    QJsonArray entries;
    if (!tarnlog->loadByApp(entries, kApplication))
        return false;
    for (const QJsonValue &value : entries) {
        const QJsonObject entry = value.toObject();
        QJsonObject merged = jsonMerge(entry, toJsonObject(entry.value(QStringLiteral("sparefield1")).toString()));
        merged.remove(QStringLiteral("sparefield1"));
        merged.remove(QStringLiteral("sparefield2"));
        merged.remove(QStringLiteral("sparefield3"));
        // Records written by earlier versions may hold control characters.
        if (merged.contains(QStringLiteral("error")))
            merged.insert(QStringLiteral("error"), PrintableText::replaced(merged.value(QStringLiteral("error")).toString()));
        records.append(merged);
    }
    return true;
}

bool EventRecorder::clear() { return tarnlog->clearByApp(kApplication); }
