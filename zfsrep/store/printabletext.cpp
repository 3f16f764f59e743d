#include "printabletext.h"

namespace PrintableText {

namespace {

constexpr ushort kEscape = 0x1B;
constexpr ushort kBell = 0x07;

bool isControl(ushort u) { return (u < 0x20 && u != '\t' && u != '\n') || (u >= 0x7F && u <= 0x9F); }

// The introducer's kind, after ESC (`afterEscape`) or as a C1 character.
enum class Kind { None, Csi, String };

Kind kindOf(ushort u, bool afterEscape)
{
    if (afterEscape) {
        if (u == '[')
            return Kind::Csi;
        if (u == ']' || u == 'P' || u == '_' || u == '^' || u == 'X')
            return Kind::String;
        return Kind::None;
    }
    if (u == 0x9B)
        return Kind::Csi;
    if (u == 0x9D || u == 0x90 || u == 0x9F || u == 0x9E || u == 0x98)
        return Kind::String;
    return Kind::None;
}

// The position just after the sequence whose body starts at `i`.
int skipCsi(const QString &text, int i)
{
    // Parameter bytes 0x30-0x3F, intermediate bytes 0x20-0x2F, one final
    // byte 0x40-0x7E.
    while (i < text.size() && text.at(i).unicode() >= 0x20 && text.at(i).unicode() <= 0x3F)
        ++i;
    if (i < text.size() && text.at(i).unicode() >= 0x40 && text.at(i).unicode() <= 0x7E)
        ++i;
    return i;
}

int skipString(const QString &text, int i)
{
    while (i < text.size()) {
        const ushort u = text.at(i).unicode();
        if (u == '\n')
            return i;
        if (u == kBell || u == 0x9C)
            return i + 1;
        if (u == kEscape && i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\\'))
            return i + 2;
        ++i;
    }
    return i;
}

// ESC followed by intermediates (0x20-0x2F) and a final byte (0x30-0x7E):
// "\ec", "\e(B", "\e7".
int skipShort(const QString &text, int i)
{
    while (i < text.size() && text.at(i).unicode() >= 0x20 && text.at(i).unicode() <= 0x2F)
        ++i;
    if (i < text.size() && text.at(i).unicode() >= 0x30 && text.at(i).unicode() <= 0x7E)
        ++i;
    return i;
}

} // namespace

QString replaced(const QString &text)
{
    if (isPrintable(text))
        return text;
    QString out;
    out.reserve(text.size());
    int i = 0;
    while (i < text.size()) {
        const ushort u = text.at(i).unicode();
        if (!isControl(u)) {
            out.append(text.at(i));
            ++i;
            continue;
        }
        out.append(QChar(kReplacement));
        if (u == kEscape && i + 1 < text.size()) {
            const Kind kind = kindOf(text.at(i + 1).unicode(), true);
            i = kind == Kind::Csi ? skipCsi(text, i + 2) : kind == Kind::String ? skipString(text, i + 2) : skipShort(text, i + 1);
        } else {
            const Kind kind = kindOf(u, false);
            i = kind == Kind::Csi ? skipCsi(text, i + 1) : kind == Kind::String ? skipString(text, i + 1) : i + 1;
        }
    }
    return out;
}

bool isPrintable(const QString &text)
{
    for (const QChar c : text) {
        if (isControl(c.unicode()))
            return false;
    }
    return true;
}

} // namespace PrintableText
