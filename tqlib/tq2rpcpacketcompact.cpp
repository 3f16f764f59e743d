// The tagged byte encoding of single JSON values offered by TQ2RpcPacket.
#include "tq2rpcpacket.h"

#include <QJsonArray>

#include <cmath>

namespace {

constexpr char kString = '|';
constexpr char kBool = '?';
constexpr char kNumber = '=';
constexpr char kArray = ':';
constexpr char kObject = '>';
constexpr int kMaxDepth = 256;

bool isTag(char c)
{
    return c == kString || c == kBool || c == kNumber || c == kArray || c == kObject;
}

void encode(QByteArray &out, const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::String:
        out.append(kString).append(value.toString().toUtf8()).append('\0');
        break;
    case QJsonValue::Bool:
        out.append(kBool).append(value.toBool() ? 't' : 'f').append('\0');
        break;
    case QJsonValue::Double: {
        const double number = value.toDouble();
        QByteArray text = QByteArray::number(number, 'g', 15);
        // Within the last digit of the largest double, 15 digits round past
        // it and would not read back; those numbers take 17.
        if (std::isfinite(number) && !std::isfinite(text.toDouble()))
            text = QByteArray::number(number, 'g', 17);
        out.append(kNumber).append(text).append('\0');
        break;
    }
    case QJsonValue::Array: {
        out.append(kArray);
        const QJsonArray array = value.toArray();
        for (const QJsonValue &element : array)
            encode(out, element);
        out.append('\0');
        break;
    }
    case QJsonValue::Object: {
        out.append(kObject);
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            out.append(it.key().toUtf8());
            encode(out, it.value());
        }
        out.append('\0');
        break;
    }
    default: // null and undefined take no bytes
        break;
    }
}

// Recursive reader over [pos, end). Each read* consumes one value including
// its terminator and returns false on malformed input.
class Reader
{
public:
    explicit Reader(const QByteArray &bytes) : data(bytes.constData()), end(bytes.size()) {}

    bool readValue(QJsonValue &out, int depth)
    {
        if (pos >= end)
            return false;
        if (depth > kMaxDepth)
            return false;
        const char tag = data[pos++];
        switch (tag) {
        case kString: {
            QByteArray text;
            if (!readText(text))
                return false;
            out = QString::fromUtf8(text);
            return true;
        }
        case kBool: {
            QByteArray text;
            if (!readText(text) || (text != "t" && text != "f"))
                return false;
            out = text == "t";
            return true;
        }
        case kNumber: {
            QByteArray text;
            bool ok = false;
            if (!readText(text))
                return false;
            const double number = text.toDouble(&ok);
            if (!ok || text.isEmpty() || !std::isfinite(number))
                return false;
            out = number;
            return true;
        }
        case kArray:
            return readArray(out, depth);
        case kObject:
            return readObject(out, depth);
        default:
            return false;
        }
    }

    bool atEnd() const { return pos == end; }

private:
    // Bytes up to the next zero byte, which is consumed.
    bool readText(QByteArray &text)
    {
        const int start = pos;
        while (pos < end && data[pos] != '\0')
            ++pos;
        if (pos >= end)
            return false;
        text = QByteArray(data + start, pos - start);
        ++pos;
        return true;
    }

    bool readArray(QJsonValue &out, int depth)
    {
        QJsonArray array;
        while (pos < end && data[pos] != '\0') {
            QJsonValue element;
            if (!readValue(element, depth + 1))
                return false;
            array.append(element);
        }
        if (pos >= end)
            return false;
        ++pos;
        out = array;
        return true;
    }

    bool readObject(QJsonValue &out, int depth)
    {
        QJsonObject object;
        while (pos < end && data[pos] != '\0') {
            const int start = pos;
            while (pos < end && data[pos] != '\0' && !isTag(data[pos]))
                ++pos;
            if (pos >= end)
                return false;
            const QString key = QString::fromUtf8(data + start, pos - start);
            if (data[pos] == '\0') { // a key running into the end: a null last member
                object.insert(key, QJsonValue::Null);
                break;
            }
            QJsonValue member;
            if (!readValue(member, depth + 1))
                return false;
            object.insert(key, member);
        }
        if (pos >= end)
            return false;
        ++pos;
        out = object;
        return true;
    }

    const char *data;
    int end;
    int pos = 0;
};

} // namespace

QByteArray TQ2RpcPacket::toCompactValue(const QJsonValue &value)
{
    QByteArray out;
    encode(out, value);
    return out;
}

QJsonValue TQ2RpcPacket::fromCompactValue(const QByteArray &bytes, bool *ok)
{
    if (bytes.isEmpty()) { // null encodes as nothing
        if (ok)
            *ok = true;
        return QJsonValue(QJsonValue::Null);
    }
    Reader reader(bytes);
    QJsonValue value;
    const bool good = reader.readValue(value, 0) && reader.atEnd();
    if (ok)
        *ok = good;
    return good ? value : QJsonValue(QJsonValue::Undefined);
}

QJsonObject TQ2RpcPacket::fromCompactObject(const QByteArray &bytes, bool *ok)
{
    bool good = false;
    const QJsonValue value = fromCompactValue(bytes, &good);
    good = good && value.isObject();
    if (ok)
        *ok = good;
    return good ? value.toObject() : QJsonObject();
}
