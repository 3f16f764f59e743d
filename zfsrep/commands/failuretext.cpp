#include "failuretext.h"

#include <QStringList>

namespace FailureText {

QString withoutUsage(const QString &text)
{
    const QStringList lines = text.split(QLatin1Char('\n'));
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        if (line != QLatin1String("usage:") && !line.startsWith(QLatin1String("usage: ")))
            continue;
        QStringList kept = lines.mid(0, i);
        while (!kept.isEmpty() && kept.last().trimmed().isEmpty())
            kept.removeLast();
        if (kept.isEmpty())
            return text;
        QString out = kept.join(QLatin1Char('\n'));
        while (!out.isEmpty() && out.at(out.size() - 1).isSpace())
            out.chop(1);
        return out;
    }
    return text;
}

QString onRemote(const QString &host, const QString &user, const QString &text)
{
    const QString prefix = QStringLiteral("on %1 as %2: ").arg(host, user);
    if (text.startsWith(prefix))
        return text;
    return prefix + withoutUsage(text);
}

} // namespace FailureText
