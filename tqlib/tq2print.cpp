#include "tq2print.h"

#include <QByteArray>
#include <QCalendar>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QLocale>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace {

// Qt 5.15 sets its calendar registry up on first use without a lock; time
// formatting on several threads during that set-up returns empty text. Set
// it up before main() runs, while the process has one thread.
const QCalendar calendarSetUp;

void writeOut(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

QString indented(const QJsonDocument &doc)
{
    return QString::fromUtf8(doc.toJson(QJsonDocument::Indented));
}

QString render(const QVariant &value)
{
    const int type = value.userType();
    if (type == qMetaTypeId<QJsonValue>()) {
        const QJsonValue v = value.value<QJsonValue>();
        if (v.isObject())
            return indented(QJsonDocument(v.toObject()));
        if (v.isArray())
            return indented(QJsonDocument(v.toArray()));
        return v.toString();
    }
    if (type == qMetaTypeId<QJsonObject>())
        return indented(QJsonDocument(value.value<QJsonObject>()));
    if (type == qMetaTypeId<QJsonArray>())
        return indented(QJsonDocument(value.value<QJsonArray>()));
    if (type == qMetaTypeId<QStringList>())
        return QStringLiteral("QStringList(") + value.toStringList().join(QStringLiteral("; ")) + QLatin1Char(')');
    if (type == qMetaTypeId<QRect>()) {
        const QRect r = value.toRect();
        return QStringLiteral("QRect(%1, %2, %3, %4)").arg(r.x()).arg(r.y()).arg(r.width()).arg(r.height());
    }
    if (type == qMetaTypeId<QSize>()) {
        const QSize s = value.toSize();
        return QStringLiteral("QSize(%1, %2)").arg(s.width()).arg(s.height());
    }
    if (type == qMetaTypeId<QPoint>()) {
        const QPoint p = value.toPoint();
        return QStringLiteral("QPoint(%1, %2)").arg(p.x()).arg(p.y());
    }
    if (type == qMetaTypeId<QByteArray>()) {
        const QByteArray bytes = value.toByteArray();
        const int nul = bytes.indexOf('\0');
        return QString::fromLocal8Bit(nul >= 0 ? bytes.left(nul) : bytes);
    }
    return value.toString();
}

} // namespace

QMutex &PRINTMUTEX()
{
    static QMutex mutex;
    return mutex;
}

void PRINTPOS(const char *file, int line, const char *function)
{
    QString name = QString::fromLocal8Bit(file ? file : "");
    const int cut = std::max(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    if (cut >= 0)
        name = name.mid(cut + 1);
    writeOut(QStringLiteral(">>-->") + QLocale::c().toString(QTime::currentTime(), QStringLiteral("HH:mm:ss.zzz "))
             + name + QLatin1Char('#') + QString::number(line) + QStringLiteral(" => ")
             + QString::fromLocal8Bit(function ? function : "") + QStringLiteral(": "));
}

void PRINTNAME(const QVariant &label)
{
    const QString text = label.toString();
    writeOut(text.isEmpty() ? QStringLiteral("~~ ~~ ~~") : text + QStringLiteral(" = "));
}

void PRINT(const QVariant &value) { writeOut(render(value)); }

void PRINTLN(const QVariant &value)
{
    PRINT(value);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QString PRETTY(const char *signature, int line)
{
    QString text = QString::fromLatin1(signature ? signature : "");
    const int paren = text.indexOf(QLatin1Char('('));
    if (paren > 0)
        text.truncate(paren);
    const int blank = text.lastIndexOf(QLatin1Char(' '));
    if (blank > 0)
        text = text.mid(blank + 1);
    if (line > 0)
        text += QLatin1Char('#') + QString::number(line);
    return text;
}
