#include "tq2rpcpacket.h"

#include "tq2utils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <cstring>

namespace {

const char kMark[3] = {'\0', 't', 'q'};
const char kKeepAlive[4] = {'\0', 'k', 'a', '\0'};
const char kFiller = '\xFF';
const char kFlag = '\x01';

quint32 readLE32(const char *p)
{
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    return quint32(u[0]) | quint32(u[1]) << 8 | quint32(u[2]) << 16 | quint32(u[3]) << 24;
}

void writeLE32(char *p, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = char((v >> (8 * i)) & 0xFF);
}

bool isEnvelopeKey(const QString &key, bool withRouters)
{
    return key == QLatin1String("seq") || key == QLatin1String("cno") || key == QLatin1String("cmd")
           || (withRouters && key == QLatin1String("routers")) || key.startsWith(QLatin1Char('_'));
}

} // namespace

TQ2RpcPacket::TQ2RpcPacket(const QJsonObject &object) : object(object) {}

TQ2RpcPacket &TQ2RpcPacket::operator=(const QJsonObject &other)
{
    object = other;
    return *this;
}

QByteArray TQ2RpcPacket::keepAlive() { return QByteArray(kKeepAlive, sizeof kKeepAlive); }

namespace {

// Puts the datagram header for `json` (and an attachment of `attachmentSize`
// bytes) in front of the JSON text's own buffer, one move of a few hundred
// bytes rather than both into a third buffer.
void writeHeader(char *header, int jsonSize, int attachmentSize)
{
    std::memcpy(header, kMark, sizeof kMark);
    header[3] = kFlag;
    header[4] = kFlag;
    writeLE32(header + 5, quint32(jsonSize));
    writeLE32(header + 9, quint32(attachmentSize));
    std::memset(header + 13, kFiller, 3);
}

void frame(QByteArray &json, int attachmentSize)
{
    char header[TQ2RpcPacket::HeaderSize];
    writeHeader(header, json.size(), attachmentSize);
    json.reserve(TQ2RpcPacket::HeaderSize + json.size() + attachmentSize);
    json.prepend(header, TQ2RpcPacket::HeaderSize);
}

} // namespace

QByteArray TQ2RpcPacket::toDatagram() const
{
    if (object.isEmpty())
        return keepAlive();
    QByteArray out = toCompact();
    frame(out, attachment.size());
    out.append(attachment);
    return out;
}

QByteArray TQ2RpcPacket::datagramHead(const QJsonObject &envelope, int resultsSize)
{
    // $ compact JSON of {"err":0} is {"err":0}: the text ends with '}'.
    QByteArray text = QJsonDocument(envelope).toJson(QJsonDocument::Compact);
    text.chop(1);
    text.append(envelope.isEmpty() ? "\"results\":" : ",\"results\":");
    QByteArray head(HeaderSize, '\0');
    head.append(text);
    writeHeader(head.data(), head.size() - HeaderSize + resultsSize + 1, 0);
    return head;
}

QByteArray TQ2RpcPacket::toDatagram(const QJsonObject &envelope, const QByteArray &resultsJson)
{
    // The head is copied before the results, which are copied once.
    const QByteArray head = datagramHead(envelope, resultsJson.size());
    QByteArray out;
    out.reserve(head.size() + resultsJson.size() + 1);
    out.append(head);
    out.append(resultsJson);
    out.append('}');
    return out;
}

qint64 TQ2RpcPacket::announcedLength(const QByteArray &buffer, int offset)
{
    if (offset < 0 || buffer.size() - offset < HeaderSize)
        return -1;
    const char *p = buffer.constData() + offset;
    if (std::memcmp(p, kMark, sizeof kMark) != 0)
        return -1;
    return qint64(HeaderSize) + qint64(readLE32(p + 5)) + qint64(readLE32(p + 9));
}

int TQ2RpcPacket::fromDatagram(QByteArray &buffer)
{
    int used = 0;
    const int result = fromDatagramAt(buffer, 0, used);
    if (used > 0)
        buffer.remove(0, used);
    return result;
}

int TQ2RpcPacket::fromDatagramAt(const QByteArray &buffer, int offset, int &used)
{
    used = 0;
    attachment.clear();
    const int size = buffer.size() - offset;
    const char *p = buffer.constData() + offset;
    if (size >= int(sizeof kKeepAlive) && std::memcmp(p, kKeepAlive, sizeof kKeepAlive) == 0) {
        used = sizeof kKeepAlive;
        object = QJsonObject();
        return KeepAlive;
    }
    if (size < int(sizeof kMark) || std::memcmp(p, kMark, sizeof kMark) != 0) {
        // Fewer than 4 bytes may still grow into either pattern.
        return size < 4 ? Incomplete : Invalid;
    }
    const qint64 total = announcedLength(buffer, offset);
    if (total < 0)
        return Incomplete;
    if (size < total) {
        expected = total;
        return Incomplete;
    }
    expected = 0;
    const int n = int(readLE32(p + 5));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromRawData(p + HeaderSize, n), &error);
    if (error.error != QJsonParseError::NoError)
        return Invalid;
    object = doc.object(); // an array document gives an empty object
    const int m = int(total) - HeaderSize - n;
    if (m > 0)
        attachment = buffer.mid(offset + HeaderSize + n, m);
    used = int(total);
    return Complete;
}

TQ2RpcPacket TQ2RpcPacket::make(const QString &cmd, int err, const QJsonObject &params)
{
    QJsonObject object{{QStringLiteral("cmd"), cmd}, {QStringLiteral("err"), err}};
    if (!params.isEmpty())
        object.insert(QStringLiteral("params"), params);
    return TQ2RpcPacket(object);
}

QByteArray TQ2RpcPacket::toCompact() const
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

int TQ2RpcPacket::fromCompact(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return Invalid;
    object = doc.object();
    return Complete;
}

void TQ2RpcPacket::shrink()
{
    for (auto it = object.begin(); it != object.end();) {
        if (isEnvelopeKey(it.key(), false))
            ++it;
        else
            it = object.erase(it);
    }
}

void TQ2RpcPacket::shrink(const QJsonObject &source)
{
    object = QJsonObject();
    copyResponsed(object, source);
}

void TQ2RpcPacket::copyResponsed(QJsonObject &target, const QJsonObject &source)
{
    for (auto it = source.begin(); it != source.end(); ++it) {
        if (isEnvelopeKey(it.key(), true))
            target.insert(it.key(), it.value());
    }
}

void TQ2RpcPacket::copyResponsed(QJsonObject &target, const QJsonObject &source, int err,
                                 const QString &errmsg)
{
    copyResponsed(target, source);
    target.insert(QStringLiteral("err"), err);
    if (!errmsg.isEmpty())
        target.insert(QStringLiteral("errmsg"), errmsg);
}

TQ2RpcPacket TQ2RpcPacket::copyResponsed(const QJsonObject &source)
{
    TQ2RpcPacket packet;
    packet.shrink(source);
    return packet;
}

TQ2RpcPacket TQ2RpcPacket::copyResponsed(const QJsonObject &source, int err, const QString &errmsg)
{
    TQ2RpcPacket packet;
    copyResponsed(packet.object, source, err, errmsg);
    return packet;
}

bool TQ2RpcPacket::takeRouter(int &fd, int &session, QJsonObject &object)
{
    const QJsonValue routers = object.value(QStringLiteral("routers"));
    if (!routers.isArray() || routers.toArray().isEmpty())
        return false;
    QJsonArray hops = routers.toArray();
    const QJsonObject hop = hops.last().toObject();
    hops.removeLast();
    fd = toInt(hop.value(QStringLiteral("fd")));
    session = toInt(hop.value(QStringLiteral("session")));
    if (hops.isEmpty())
        object.remove(QStringLiteral("routers"));
    else
        object.insert(QStringLiteral("routers"), hops);
    return true;
}

void TQ2RpcPacket::registerMetaType() { qRegisterMetaType<TQ2RpcPacket>("TQ2RpcPacket"); }
