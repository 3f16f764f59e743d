#include "errortext.h"

#include "tq2error.h"
#include "tq2utils.h"

#include <QJsonArray>
#include <QStringList>

namespace {

struct CodeText {
    int code;
    const char *text;
};

// Every code of TQ2Error::ERRORCODE; the service answers few of them, but a
// client must read whatever code comes.
const CodeText kCodes[] = {
    {TQ2Error::ERR_SUCCESS, "done"},
    {TQ2Error::ERR_SUCCEED, "done"},
    {TQ2Error::ERR_FAILED, "the service could not do it"},
    {TQ2Error::ERR_TIMEOUT, "the service ran out of time"},
    {TQ2Error::ERR_NO_INPUT, "the request carried no input"},
    {TQ2Error::ERR_DAMAGE, "the data is damaged"},
    {TQ2Error::ERR_PARAMS, "a parameter is missing or not valid"},
    {TQ2Error::ERR_NOT_EXISTS, "it does not exist"},
    {TQ2Error::ERR_EXISTS, "it exists already"},
    {TQ2Error::ERR_BUSY, "the service is busy"},
    {TQ2Error::ERR_LOAD, "loading failed"},
    {TQ2Error::ERR_SAVE, "saving failed"},
    {TQ2Error::ERR_CONTENT, "the content is not acceptable"},
    {TQ2Error::ERR_AUTHORIZE, "not authorised"},
    {TQ2Error::ERR_SYSTEM, "a system error occurred"},
    {TQ2Error::ERR_LOCKED, "it is locked"},
    {TQ2Error::ERR_NOT_ACTIVE, "it is not active"},
    {TQ2Error::ERR_NOT_LOGIN, "not logged in"},
    {TQ2Error::ERR_SCENE, "the situation does not allow it"},
    {TQ2Error::ERR_USED, "it is in use"},
    {TQ2Error::ERR_UNCOOLED, "asked again too soon; wait and retry"},
    {TQ2Error::ERR_MAINTENANCE, "the system is in maintenance"},
    {TQ2Error::ERR_LOGIN_OUTSIDE, "logged in elsewhere"},
    {TQ2Error::ERR_SCRIPT_FAILED, "a script failed"},
    {TQ2Error::ERR_SERVER_OFFLINE, "the server is offline"},
    {TQ2Error::ERR_SCENE_EXISTS, "the situation exists already"},
    {TQ2Error::ERR_SQLERROR, "the service's database failed"},
    {TQ2Error::ERR_INCOMPATIBLE, "it is not compatible"},
    {TQ2Error::ERR_NOT_ENOUGH, "there is not enough of it"},
    {TQ2Error::ERR_REQUEST, "the request is not acceptable"},
    {TQ2Error::ERR_OFFLINE, "it is offline"},
    {TQ2Error::ERR_CONFIG, "the configuration is wrong"},
    {TQ2Error::ERR_CREATE, "creating it failed"},
    {TQ2Error::ERR_CHANGE, "changing it failed"},
    {TQ2Error::ERR_CHANGED, "it was changed in the meantime"},
    {TQ2Error::ERR_UNCHANGED, "nothing was changed"},
    {TQ2Error::ERR_DELETE, "deleting it failed"},
    {TQ2Error::ERR_CANCEL, "it was cancelled"},
    {TQ2Error::ERR_UNKNOWN, "an unknown error occurred"},
    {TQ2Error::ERR_UNTREATED, "it was not handled"},
    {TQ2Error::ERR_CORRELATIVE, "something related stands in the way"},
    {TQ2Error::ERR_DIFFERENCE, "the values differ"},
    {TQ2Error::ERR_VERSION, "the version does not fit"},
    {TQ2Error::ERR_READY, "it is not ready"},
    {TQ2Error::ERR_NO_RESPONSE, "no response came"},
    {TQ2Error::ERR_BEHIND, "it is out of date"},
    {TQ2Error::ERR_REDUPLICATED, "it is a duplicate"},
    {TQ2Error::ERR_ENCRYPTION, "encryption failed"},
    {TQ2Error::ERR_PASSWORD, "the password is wrong"},
    {TQ2Error::ERR_UNCCGDPT, "the department cannot be changed"},
    {TQ2Error::ERR_DEVICE, "a device failed"},
    {TQ2Error::ERR_FUNDS, "the funds are not sufficient"},
    {TQ2Error::ERR_LOSED, "it was lost"},
    {TQ2Error::ERR_EXPIRED, "it has expired"},
    {TQ2Error::ERR_OUTOFRANGE, "a value is out of range"},
    {TQ2Error::ERR_STATE, "the state does not allow it"},
    {TQ2Error::ERR_STEP, "a step is out of order"},
    {TQ2Error::ERR_RESTRICT, "it is restricted"},
    {TQ2Error::ERR_ESCAPED, "it escaped control"},
    {TQ2Error::ERR_LIMIT, "a limit was reached"},
    {TQ2Error::ERR_LIMITMAX, "the request is larger than the service accepts"},
    {TQ2Error::ERR_LIMITMIN, "a value is below its minimum"},
    {TQ2Error::ERR_NO_CONFIG, "no configuration was found"},
    {TQ2Error::ERR_SHUTDOWN, "the service is shutting down"},
    {TQ2Error::ERR_CLOSED, "it is closed"},
    {TQ2Error::ERR_FULL, "it is full"},
    {TQ2Error::ERR_OVERFLOW, "a value overflowed"},
    {TQ2Error::ERR_DOING, "it is being done already"},
    {TQ2Error::ERR_WAITING, "it is waiting"},
    {TQ2Error::ERR_NOT_ACHIEVED, "it was not achieved"},
    {TQ2Error::ERR_UNNECESSARY, "it is not necessary"},
    {TQ2Error::ERR_FORBID, "it is forbidden"},
    {TQ2Error::ERR_LEVEL, "the level is not sufficient"},
    {TQ2Error::ERR_EMPTY, "it is empty"},
    {TQ2Error::ERR_NOTOPEN, "it is not open"},
    {TQ2Error::ERR_RESERVED, "it is reserved"},
    {TQ2Error::ERR_WRONGFUL, "it is not allowed"},
    {TQ2Error::ERR_ILLEGAL, "it is not valid"},
    {TQ2Error::ERR_IDENTICAL, "it is identical to what exists"},
    {TQ2Error::ERR_BIND, "binding failed"},
    {TQ2Error::ERR_UNBIND, "unbinding failed"},
    {TQ2Error::ERR_CONNECT, "the connection failed"},
    {TQ2Error::ERR_SECRETKEY, "the secret key is wrong"},
    {TQ2Error::ERR_PHONENO, "the phone number is not valid"},
    {TQ2Error::ERR_CODEVERFIY, "the verification code is not valid"},
    {TQ2Error::ERR_WRITE, "writing failed"},
    {TQ2Error::ERR_READ, "reading failed"},
    {TQ2Error::ERR_FORMAT, "the format is wrong"},
    {TQ2Error::ERR_PROGRESS, "it is in progress"},
    {TQ2Error::ERR_INVALID, "it is invalid"},
    {TQ2Error::ERR_RENAME, "renaming failed"},
    {TQ2Error::ERR_MOVEFROM, "moving it away failed"},
    {TQ2Error::ERR_MOVETO, "moving it into place failed"},
    {TQ2Error::ERR_STORAGE, "the storage failed"},
    {TQ2Error::ERR_FILEPATH, "the file path is not valid"},
    {TQ2Error::ERR_FILEDRIVER, "the file's drive is not valid"},
    {TQ2Error::ERR_DIRECTORY, "the directory is not valid"},
    {TQ2Error::ERR_FOLDER, "the folder is not valid"},
    {TQ2Error::ERR_FILENAME, "the file name is not valid"},
    {TQ2Error::ERR_FILEBASENAME, "the file's base name is not valid"},
    {TQ2Error::ERR_FILESUFFIX, "the file's suffix is not valid"},
    {TQ2Error::ERR_EXTEND, "extending it failed"},
    {TQ2Error::ERR_INOPERATIVE, "it does not work"},
    {TQ2Error::ERR_EXECUTE, "a command the service ran failed"},
    {TQ2Error::ERR_OPEN, "opening it failed"},
    {TQ2Error::ERR_RESIDUAL, "something is left over"},
    {TQ2Error::ERR_PARTLY_SUCCEED, "it succeeded only in part"},
    {TQ2Error::ERR_SIGNATURE, "the signature is not valid"},
    {TQ2Error::ERR_LAUNCH, "starting it failed"},
    {TQ2Error::ERR_COMMUNICATION, "communication failed"},
    {TQ2Error::ERR_UNDEFINED, "it is not defined"},
    {TQ2Error::ERR_REPAIRING, "it is being repaired"},
    {TQ2Error::ERR_MOBILE, "the mobile number is not valid"},
    {TQ2Error::ERR_SMSCODE, "the text-message code is not valid"},
    {TQ2Error::ERR_NOT_FOUND, "it was not found"},
    {TQ2Error::ERR_NO_ACCESS, "access is denied"},
    {TQ2Error::ERR_MISSING, "the service has no such method"},
    {TQ2Error::ERR_NO_PERMISSION, "permission is denied"},
    {TQ2Error::ERR_BETRAY_LOGIC, "it goes against the service's rules"},
    {TQ2Error::ERR_MACHINE, "the machine does not allow it"},
    {TQ2Error::ERR_IDLE, "it is idle"},
    {TQ2Error::ERR_METHOD, "the method is not valid"},
    {TQ2Error::ERR_MOUNT, "mounting failed"},
    {TQ2Error::ERR_UMOUNT, "unmounting failed"},
    {TQ2Error::ERR_DEVELOPING, "it is not available yet"},
    {TQ2Error::ERR_ACCEPT, "it was not accepted"},
    {TQ2Error::ERR_MISMATCHING, "the values do not match"},
    {TQ2Error::ERR_LIMITATIONS, "a limitation stands in the way"},
    {TQ2Error::ERR_VIRTUALMACHINE, "the virtual machine does not allow it"},
    {TQ2Error::ERR_LOST, "it was lost"},
    {TQ2Error::ERR_RUNNING, "it is running"},
    {TQ2Error::ERR_CONFLICT, "it conflicts with what exists"},
    {TQ2Error::ERR_SETTING, "the setting is wrong"},
    {TQ2Error::ERR_ENABLED, "it is enabled"},
    {TQ2Error::ERR_DISABLED, "it is disabled"},
    {TQ2Error::ERR_SYSTEMCRASH, "the system crashed"},
    {TQ2Error::ERR_LOCK, "locking failed"},
    {TQ2Error::ERR_UNLOCK, "unlocking failed"},
    {TQ2Error::ERR_CLASH, "it clashes with something else"},
    {TQ2Error::ERR_PARSE, "the service could not read the request"},
    {TQ2Error::ERR_PHONE_WRONG, "the phone number is wrong"},
    {TQ2Error::ERR_CODEVERFIY_WRONG, "the verification code is wrong"},
};

QString mission(const RefusalContext &context)
{
    return QStringLiteral("mission %1").arg(context.msnno);
}

} // namespace

QString codeSentence(int code)
{
    for (const CodeText &entry : kCodes) {
        if (entry.code == code)
            return QLatin1String(entry.text);
    }
    return QString();
}

QString errorSentence(int code, const RefusalContext &context)
{
    const bool named = context.msnno > 0;
    switch (code) {
    case TQ2Error::ERR_NOT_EXISTS:
        if (named)
            return mission(context) + QStringLiteral(" does not exist");
        break;
    case TQ2Error::ERR_EXISTS:
        if (!context.caption.isEmpty())
            return QStringLiteral("a mission named \"%1\" exists already (captions are compared without letter case)")
                .arg(context.caption);
        break;
    case TQ2Error::ERR_BUSY:
        if (named && context.command == QLatin1String("run"))
            return mission(context) + QStringLiteral(" or another mission is running now; try again when it has ended");
        return QStringLiteral("the service is busy; try again later");
    case TQ2Error::ERR_NOT_ACTIVE:
        if (named && context.command == QLatin1String("cancel"))
            return mission(context) + QStringLiteral(" is not running");
        if (context.command == QLatin1String("run"))
            return QStringLiteral("the service's scheduler is not running (is the service stopping?)");
        break;
    case TQ2Error::ERR_PARAMS:
        return QStringLiteral("the service refused a parameter%1 as missing or not valid (--raw shows which)")
            .arg(named ? QStringLiteral(" of ") + mission(context) : QString());
    case TQ2Error::ERR_MISSING:
        if (!context.method.isEmpty())
            return QStringLiteral("this zfsrep service has no method %1 (an older version?)").arg(context.method);
        break;
    default:
        break;
    }
    const QString sentence = codeSentence(code);
    return sentence.isEmpty() ? QStringLiteral("the service answered an unknown code") : sentence;
}

QString refusalLine(const QJsonObject &answer, const RefusalContext &context, bool raw)
{
    const int code = toInt(answer.value(QStringLiteral("err")), -1);
    const QString message = answer.value(QStringLiteral("errmsg")).toString();
    if (raw)
        return QStringLiteral("%1 failed: %2 (err %3)").arg(context.what, message).arg(code);
    QString sentence = errorSentence(code, context);
    // The service names a refused parameter in keys of its own.
    const QJsonArray fields = answer.value(QStringLiteral("fields")).toArray();
    if (code == TQ2Error::ERR_PARAMS && !fields.isEmpty()) {
        QStringList names;
        for (const QJsonValue &field : fields)
            names.append(field.toString());
        const QString listed = names.size() > 1 ? names.mid(0, names.size() - 1).join(QStringLiteral(", "))
                                                      + QStringLiteral(" and ") + names.last()
                                                : names.first();
        const QString fault = answer.value(QStringLiteral("fault")).toString();
        sentence = fault == QLatin1String("invalid")
                       ? QStringLiteral("the service refused the value of %1 as not valid").arg(listed)
                       : QStringLiteral("the service needs %1, which %2 missing or empty")
                             .arg(listed, names.size() > 1 ? QStringLiteral("are") : QStringLiteral("is"));
    }
    // A tool's or the database's own words: shown as they came.
    if ((code == TQ2Error::ERR_EXECUTE || code == TQ2Error::ERR_SQLERROR) && !message.trimmed().isEmpty())
        sentence += QStringLiteral(": ") + message.trimmed();
    return QStringLiteral("%1: %2 (err %3)").arg(context.what, sentence).arg(code);
}
