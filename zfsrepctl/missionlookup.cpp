#include "missionlookup.h"

#include "serviceclient.h"
#include "tq2utils.h"

#include <cstdio>

bool findListed(const QJsonArray &records, int msnno, QJsonObject &mission)
{
    for (const QJsonValue &value : records) {
        if (toInt(value.toObject().value(QStringLiteral("msnno"))) == msnno) {
            mission = value.toObject();
            return true;
        }
    }
    return false;
}

Lookup lookupMission(const CtlOptions &options, int msnno, QJsonObject &mission, QJsonObject &answer, QString &error)
{
    if (!serviceRequest(options.socket, QJsonObject{{"cmd", "zfsrep_mission_alload"}}, &answer, options.timeout,
                        &error))
        return Lookup::Unreachable;
    if (toInt(answer.value(QStringLiteral("err")), -1) != 0)
        return Lookup::Refused;
    const QJsonArray records = answer.value("results").toObject().value("records").toArray();
    return findListed(records, msnno, mission) ? Lookup::Found : Lookup::Missing;
}

int requireMission(const CtlOptions &options, int msnno, const QString &what)
{
    QJsonObject mission;
    QJsonObject answer;
    QString error;
    QString message;
    int status = ExitFailed;
    switch (lookupMission(options, msnno, mission, answer, error)) {
    case Lookup::Found:
        return -1;
    case Lookup::Missing:
        message = QStringLiteral("%1: mission %2 does not exist").arg(what).arg(msnno);
        break;
    case Lookup::Unreachable:
        message = QStringLiteral("zfsrep service unreachable: %1").arg(error);
        status = ExitUnreachable;
        break;
    case Lookup::Refused:
        message = QStringLiteral("%1: the listing that tells whether mission %2 exists was refused (err %3)")
                      .arg(what)
                      .arg(msnno)
                      .arg(toInt(answer.value(QStringLiteral("err")), -1));
        break;
    }
    std::fprintf(stderr, "zfsrepctl: %s\n", message.toLocal8Bit().constData());
    return status;
}
