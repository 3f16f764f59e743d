#include "tq2jsonwriter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QVarLengthArray>

#include <charconv>

namespace {

// Integers whose double is exact: Qt writes any number through a double.
constexpr qint64 kExactInteger = Q_INT64_C(1) << 53;

// Qt's compact text of one value: [value] with the brackets cut off.
QByteArray viaQt(const QJsonValue &value)
{
    QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
    return text.mid(1, text.size() - 2);
}

// Appends the ASCII part [from, to) escaped as Qt escapes it.
void appendAscii(QByteArray &out, const unsigned char *from, const unsigned char *to)
{
    static const char hex[] = "0123456789abcdef";
    const unsigned char *plain = from;
    for (const unsigned char *p = from; p < to; ++p) {
        const unsigned char c = *p;
        if (c >= 0x20 && c != '"' && c != '\\')
            continue;
        out.append(reinterpret_cast<const char *>(plain), int(p - plain));
        plain = p + 1;
        switch (c) {
        case '"': out.append("\\\"", 2); break;
        case '\\': out.append("\\\\", 2); break;
        case '\b': out.append("\\b", 2); break;
        case '\f': out.append("\\f", 2); break;
        case '\n': out.append("\\n", 2); break;
        case '\r': out.append("\\r", 2); break;
        case '\t': out.append("\\t", 2); break;
        default: {
            const char escaped[6] = {'\\', 'u', '0', '0', hex[c >> 4], hex[c & 0xf]};
            out.append(escaped, 6);
        }
        }
    }
    out.append(reinterpret_cast<const char *>(plain), int(to - plain));
}

} // namespace

bool TQ2JsonWriter::keptByQt(const char *utf8, int size)
{
    const auto *p = reinterpret_cast<const unsigned char *>(utf8);
    const unsigned char *const end = p + size;
    if (size >= 3 && p[0] == 0xef && p[1] == 0xbb && p[2] == 0xbf)
        return false;
    while (p < end) {
        const unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        int length = 0;
        char32_t code = 0;
        if (c >= 0xc2 && c <= 0xdf) {
            length = 2;
            code = c & 0x1f;
        } else if (c >= 0xe0 && c <= 0xef) {
            length = 3;
            code = c & 0x0f;
        } else if (c >= 0xf0 && c <= 0xf4) {
            length = 4;
            code = c & 0x07;
        } else {
            return false;
        }
        if (end - p < length)
            return false;
        for (int i = 1; i < length; ++i) {
            if ((p[i] & 0xc0) != 0x80)
                return false;
            code = (code << 6) | (p[i] & 0x3f);
        }
        // Overlong forms, surrogates and code points past U+10FFFF.
        if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10ffff))
            || (code >= 0xd800 && code <= 0xdfff))
            return false;
        p += length;
    }
    return true;
}

void TQ2JsonWriter::string(const char *utf8, int size)
{
    if (!keptByQt(utf8, size)) {
        out.append(viaQt(QString::fromUtf8(utf8, size)));
        return;
    }
    out.append('"');
    const auto *p = reinterpret_cast<const unsigned char *>(utf8);
    // Bytes from 0x80 up are parts of well-formed sequences: copied as they are.
    appendAscii(out, p, p + size);
    out.append('"');
}

void TQ2JsonWriter::string(const QString &text)
{
    // Short ASCII texts (states, outcomes) go through a buffer on the stack;
    // surrogates (paired or not) are rare here: Qt's writer decides.
    QVarLengthArray<unsigned char, 128> ascii;
    bool isAscii = true;
    for (const QChar c : text) {
        if (c.isSurrogate()) {
            out.append(viaQt(text));
            return;
        }
        if (c.unicode() >= 0x80)
            isAscii = false;
        else if (isAscii)
            ascii.append(static_cast<unsigned char>(c.unicode()));
    }
    if (isAscii) {
        out.append('"');
        appendAscii(out, ascii.constData(), ascii.constData() + ascii.size());
        out.append('"');
        return;
    }
    const QByteArray utf8 = text.toUtf8();
    out.append('"');
    const auto *p = reinterpret_cast<const unsigned char *>(utf8.constData());
    appendAscii(out, p, p + utf8.size());
    out.append('"');
}

void TQ2JsonWriter::key(const char *latin1)
{
    string(latin1, int(qstrlen(latin1)));
    out.append(':');
}

void TQ2JsonWriter::integer(qint64 value)
{
    if (value >= -kExactInteger && value <= kExactInteger) {
        char digits[24];
        const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
        out.append(digits, int(end.ptr - digits));
    } else
        out.append(viaQt(QJsonValue(value)));
}

void TQ2JsonWriter::value(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        string(value.toString());
        return;
    case QJsonValue::Bool:
        out.append(value.toBool() ? "true" : "false");
        return;
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out.append("null");
        return;
    default:
        out.append(viaQt(value));
    }
}
