#include "safeoutput.h"

#include "missiondetail.h"

#include <cstdio>

namespace SafeOutput {

QString escaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if ((u < 0x20 && u != '\t' && u != '\n') || u == 0x7F)
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
        else if (u >= 0x80 && u <= 0x9F)
            out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
        else
            out += c;
    }
    return out;
}

QByteArray escapedJson(const QByteArray &json)
{
    QByteArray out;
    out.reserve(json.size());
    for (int i = 0; i < json.size(); ++i) {
        const unsigned char b = static_cast<unsigned char>(json.at(i));
        // In UTF-8, U+0080..U+009F are 0xC2 followed by 0x80..0x9F; a 0xC2
        // byte is always a lead byte, so this never splits a character.
        if (b == 0x7F) {
            out += "\\u007f";
        } else if (b == 0xC2 && i + 1 < json.size() && static_cast<unsigned char>(json.at(i + 1)) <= 0x9F
                   && static_cast<unsigned char>(json.at(i + 1)) >= 0x80) {
            out += QStringLiteral("\\u%1").arg(static_cast<unsigned char>(json.at(i + 1)), 4, 16, QLatin1Char('0')).toLatin1();
            ++i;
        } else if (b < 0x20 && b != '\n' && b != ' ') {
            // Qt escapes these inside strings; nothing else should hold one.
            out += QStringLiteral("\\u%1").arg(b, 4, 16, QLatin1Char('0')).toLatin1();
        } else {
            out += char(b);
        }
    }
    return out;
}

QByteArray answerJson(const QJsonObject &answer, QJsonDocument::JsonFormat format, bool raw)
{
    if (raw)
        return QJsonDocument(answer).toJson(format);
    return escapedJson(QJsonDocument(maskSecrets(answer).toObject()).toJson(format));
}

void printText(const QString &text) { std::fputs(escaped(text).toLocal8Bit().constData(), stdout); }

void printError(const QString &message)
{
    std::fprintf(stderr, "zfsrepctl: %s\n", escaped(message).toLocal8Bit().constData());
}

void printAnswer(const QJsonObject &answer, QJsonDocument::JsonFormat format, bool raw)
{
    QByteArray text = answerJson(answer, format, raw);
    if (!text.endsWith('\n'))
        text.append('\n');
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
}

} // namespace SafeOutput
