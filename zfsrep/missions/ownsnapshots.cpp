#include "ownsnapshots.h"

#include <QRegularExpression>

namespace OwnSnapshots {

QString mark(const QString &instance, int msnno)
{
    return instance.isEmpty() ? QString() : instance + QLatin1Char(':') + QString::number(msnno);
}

bool isUnmarked(const QString &owner) { return owner.isEmpty() || owner == QLatin1String("-"); }

bool stampOf(const QString &shortName, const QString &series, StampedSnapshot &stamped)
{
    const QString prefix = series + QLatin1Char('_');
    if (series.isEmpty() || !shortName.startsWith(prefix))
        return false;
    static const QRegularExpression form(QStringLiteral("^([0-9]{14})(?:_([0-9]{1,9}))?$"));
    const QRegularExpressionMatch m = form.match(shortName.mid(prefix.size()));
    if (!m.hasMatch())
        return false;
    // Date and time apart: a wall-clock time that a daylight-saving change
    // skips or repeats is still the time the name says.
    const QDate date = QDate::fromString(m.captured(1).left(8), QStringLiteral("yyyyMMdd"));
    const QTime time = QTime::fromString(m.captured(1).mid(8), QStringLiteral("HHmmss"));
    if (!date.isValid() || !time.isValid())
        return false;
    const QDateTime stamp(date, time, Qt::UTC);
    stamped.name = shortName;
    stamped.stamp = stamp;
    stamped.sequence = m.captured(2).isEmpty() ? 1 : m.captured(2).toInt();
    return true;
}

bool isOwn(const QString &shortName, const QString &owner, const QString &series, const QString &mark)
{
    if (!mark.isEmpty() && owner == mark)
        return true;
    StampedSnapshot unused;
    return isUnmarked(owner) && stampOf(shortName, series, unused);
}

} // namespace OwnSnapshots
