#include "fieldtext.h"

#include <QRegularExpression>

bool parseDatasetText(const QString &text, QJsonObject &fields, QString &why)
{
    const int slash = text.indexOf(QLatin1Char('/'));
    if (slash <= 0 || slash + 1 >= text.size()) {
        why = QStringLiteral("'%1' is not POOL/DATASET").arg(text);
        return false;
    }
    if (text.contains(QLatin1Char('@')) || text.contains(QStringLiteral("//")) || text.endsWith(QLatin1Char('/'))
        || text.contains(QRegularExpression(QStringLiteral("\\s")))) {
        why = QStringLiteral("'%1' is not a dataset name").arg(text);
        return false;
    }
    fields.insert(QStringLiteral("pool"), text.left(slash));
    fields.insert(QStringLiteral("name"), text.mid(slash + 1));
    return true;
}

bool parseRemoteText(const QString &text, QJsonObject &fields, QString &why)
{
    static const QRegularExpression form(QStringLiteral("^(?:([^@/\\s]+)@)?(\\[[^\\]/]+\\]|[^:/\\[\\]@\\s]+)"
                                                        "(?::([^/]*))?/(.+)$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch()) {
        why = text.contains(QLatin1Char('/'))
                  ? QStringLiteral("'%1' is not [USER@]HOST[:PORT]/PATH").arg(text)
                  : QStringLiteral("no /PATH after the host in '%1'").arg(text);
        return false;
    }
    QString host = m.captured(2);
    if (host.startsWith(QLatin1Char('[')))
        host = host.mid(1, host.size() - 2);
    if (host.startsWith(QLatin1Char('-'))) {
        why = QStringLiteral("host '%1' starts with '-'").arg(host);
        return false;
    }
    if (m.capturedStart(3) >= 0) {
        bool ok = false;
        const int port = m.captured(3).toInt(&ok);
        if (!ok || port < 1 || port > 65535) {
            why = QStringLiteral("port '%1' is not 1-65535").arg(m.captured(3));
            return false;
        }
        fields.insert(QStringLiteral("port"), port);
    }
    if (!m.captured(1).isEmpty())
        fields.insert(QStringLiteral("userid"), m.captured(1));
    fields.insert(QStringLiteral("host"), host);
    fields.insert(QStringLiteral("path"), m.captured(4));
    return true;
}

bool parseRate(const QString &text, qint64 &bytesPerSecond, QString &why)
{
    const QString t = text.trimmed().toLower();
    if (t == QLatin1String("none") || t == QLatin1String("unlimited")) {
        bytesPerSecond = 0;
        return true;
    }
    static const QRegularExpression form(QStringLiteral("^(\\d+(?:\\.\\d+)?)\\s*([kmgt]?)(?:i?b)?(?:/s)?$"));
    const QRegularExpressionMatch m = form.match(t);
    if (!m.hasMatch()) {
        why = QStringLiteral("'%1' is not a rate (bytes per second, e.g. 10M, 512K, 0 for none)").arg(text);
        return false;
    }
    const int power = m.captured(2).isEmpty() ? 0 : int(QStringLiteral("kmgt").indexOf(m.captured(2))) + 1;
    const double scale = double(qint64(1) << (10 * power));
    const double value = m.captured(1).toDouble() * scale;
    if (value > 1e15) {
        why = QStringLiteral("'%1' is more than any link carries").arg(text);
        return false;
    }
    bytesPerSecond = qint64(value);
    return true;
}

