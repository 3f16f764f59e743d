#include "manpage.h"

#include <QStringList>

namespace ManPage {

QString escaped(const QString &text)
{
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (c == QLatin1Char('\\'))
            out += QStringLiteral("\\e");
        else if (c == QLatin1Char('-'))
            out += QStringLiteral("\\-");
        else
            out += c;
    }
    QStringList lines = out.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        if (line.startsWith(QLatin1Char('.')) || line.startsWith(QLatin1Char('\'')))
            line.prepend(QStringLiteral("\\&"));
    }
    return lines.join(QLatin1Char('\n'));
}

QString subcommandsSection(const QList<QPair<QString, QString>> &subcommands)
{
    QString out = QStringLiteral("[SUBCOMMANDS]\n");
    for (const auto &sub : subcommands) {
        QStringList lines = sub.second.split(QLatin1Char('\n'));
        out += QStringLiteral(".TP\n.B ") + escaped(lines.takeFirst()) + QStringLiteral("\n.nf\n");
        for (QString line : lines) {
            if (line.startsWith(QStringLiteral("    ")))
                line.remove(0, 4);
            out += escaped(line) + QLatin1Char('\n');
        }
        out += QStringLiteral(".fi\n");
    }
    return out;
}

} // namespace ManPage
