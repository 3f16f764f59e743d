#include "tq2journals.h"

#include "tq2error.h"

#include <QElapsedTimer>

struct TQ2Journals::Private {
    int err = TQ2Error::ERR_FAILED;
    QString errmsg;
    QJsonArray segments;
    qint64 total = 0;
    QElapsedTimer timer;
};

namespace {

bool isSuccessCode(int code)
{
    return code == TQ2Error::ERR_SUCCEED || code == TQ2Error::ERR_SUCCESS;
}

} // namespace

TQ2Journals::TQ2Journals() : d(std::make_unique<Private>()) { d->timer.start(); }

TQ2Journals::~TQ2Journals() = default;

int TQ2Journals::err() const { return d->err; }

QString TQ2Journals::errmsg() const { return d->errmsg; }

qint64 TQ2Journals::times() const { return d->total; }

QJsonArray TQ2Journals::segments() const { return d->segments; }

QString TQ2Journals::setErr(int code, const QString &message)
{
    d->err = code;
    d->errmsg = message;
    return QLatin1Char('[') + TQ2Error::toErrid(code) + QLatin1Char(']') + message;
}

void TQ2Journals::setErrmsg(const QString &message) { d->errmsg = message; }

void TQ2Journals::setSegments(const QJsonArray &segments) { d->segments = segments; }

void TQ2Journals::reset(int code, const QString &message, const QJsonArray &segments)
{
    setErr(code, QString());
    d->errmsg = message;
    d->segments = segments;
    d->total = 0;
}

void TQ2Journals::add(const QJsonObject &segment) { d->segments.append(segment); }

void TQ2Journals::add(const QJsonArray &segment) { d->segments.append(segment); }

void TQ2Journals::begin()
{
    d->total = 0;
    d->timer.restart();
}

qint64 TQ2Journals::step()
{
    const qint64 elapsed = d->timer.restart();
    d->total += elapsed;
    return elapsed;
}

qint64 TQ2Journals::end()
{
    step();
    return d->total;
}

QJsonObject TQ2Journals::add(const QString &place, const QString &content, const QJsonObject &object)
{
    QJsonObject entry = object;
    entry.insert(QStringLiteral("place"), place);
    entry.insert(QStringLiteral("times"), step());
    entry.insert(QStringLiteral("content"), content);
    d->segments.append(entry);
    return entry;
}

QJsonObject TQ2Journals::add(const QString &place, const QString &action, bool success,
                             const QString &msg, const QString &command)
{
    QJsonObject entry;
    entry.insert(QStringLiteral("place"), place);
    entry.insert(QStringLiteral("times"), step());
    entry.insert(QStringLiteral("action"), action);
    entry.insert(QStringLiteral("success"), success);
    if (!msg.isEmpty())
        entry.insert(QStringLiteral("msg"), msg);
    else if (!d->errmsg.isEmpty())
        entry.insert(QStringLiteral("msg"), d->errmsg);
    if (!command.isEmpty())
        entry.insert(QStringLiteral("command"), command);
    d->segments.append(entry);
    return entry;
}

QJsonObject TQ2Journals::add(const QString &place, int code, const QString &action, bool success,
                             const QString &msg, const QString &command)
{
    setErr(code, msg);
    return add(place, action, success, msg, command);
}

QJsonObject TQ2Journals::toObject() const
{
    QJsonObject object;
    object.insert(QStringLiteral("err"), d->err);
    object.insert(QStringLiteral("elapsed"), d->total);
    if (!isSuccessCode(d->err) && !d->errmsg.isEmpty())
        object.insert(QStringLiteral("errmsg"), d->errmsg);
    if (!d->segments.isEmpty())
        object.insert(QStringLiteral("journals"), d->segments);
    return object;
}

void TQ2Journals::toRetObject(QJsonObject &response, bool verbose) const
{
    d->total += d->timer.restart();
    response.insert(QStringLiteral("err"), d->err);
    if (!isSuccessCode(d->err) && !d->errmsg.isEmpty())
        response.insert(QStringLiteral("errmsg"), d->errmsg);
    if (verbose) {
        response.insert(QStringLiteral("elapsed"), d->total);
        if (!d->segments.isEmpty())
            response.insert(QStringLiteral("journals"), d->segments);
    }
}

void TQ2Journals::toRetObject(QJsonObject *response, bool verbose) const
{
    if (response)
        toRetObject(*response, verbose);
}
