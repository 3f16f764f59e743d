// One RPC message of the local socket protocol: a JSON object, an optional
// binary attachment, and the framing that turns it into bytes (a datagram)
// and back. A stream carries datagrams back to back; a receiver appends what
// arrives to a buffer and cuts complete datagrams off its front with
// fromDatagram. An empty object travels as the 4-byte keep-alive.
//
// Datagram: "\0tq", flag 0x01, flag 0x01, JSON length n (u32 LE), attachment
// length m (u32 LE), 0xFF 0xFF 0xFF, n bytes of compact JSON, m bytes of
// attachment. Keep-alive: 0x00 'k' 'a' 0x00.
//
// A plain value owned by one thread; registered with the meta-type system
// as "TQ2RpcPacket".
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>

class TQ2RpcPacket
{
public:
    // fromDatagram results.
    enum Result {
        Complete = 0,   // one packet parsed and removed from the buffer
        KeepAlive = 1,  // the 4 keep-alive bytes removed; object empty
        Incomplete = 2, // wait for more bytes; buffer unchanged
        Invalid = 4,    // not a datagram or unparsable JSON; buffer unchanged
    };

    static constexpr int HeaderSize = 16;
    // Receivers refuse (and drop the connection of) a datagram that announces
    // more than this many bytes instead of buffering toward 8 GiB.
    static constexpr qint64 MaxDatagram = 64LL * 1024 * 1024;

    TQ2RpcPacket() = default;
    TQ2RpcPacket(const QJsonObject &object); // NOLINT: the packet behaves as its object
    TQ2RpcPacket(const TQ2RpcPacket &) = default;
    TQ2RpcPacket &operator=(const TQ2RpcPacket &) = default;
    // Replaces the object only; attachment and expected stay.
    TQ2RpcPacket &operator=(const QJsonObject &object);

    operator const QJsonObject &() const { return object; } // NOLINT

    // The keep-alive bytes when the object is empty (attachment ignored),
    // otherwise one datagram.
    QByteArray toDatagram() const;
    // Parses and removes the first datagram of `buffer`; see Result. After
    // Incomplete with a readable header, `expected` holds the total length
    // the buffer must reach. Never throws, whatever the bytes.
    int fromDatagram(QByteArray &buffer);
    // As fromDatagram, for the datagram that starts `offset` bytes into
    // `buffer`, which is left unchanged: after Complete or KeepAlive `used`
    // holds the datagram's length (0 otherwise), so a reader walks a buffer
    // of pipelined datagrams by offset and drops what it consumed once.
    // `expected` counts from `offset`. 0 <= offset <= buffer.size().
    int fromDatagramAt(const QByteArray &buffer, int offset, int &used);
    bool isKeepAlive() const { return object.isEmpty(); }
    // One datagram of `envelope` plus the key "results" whose value is the
    // compact JSON text `resultsJson` (already serialized by its producer),
    // without parsing or serializing that value again. "results" comes last
    // in the text; a reader sees the same object as from toDatagram.
    static QByteArray toDatagram(const QJsonObject &envelope, const QByteArray &resultsJson);
    // The same datagram in three parts, for a writer that sends them one
    // after the other without joining them: the header and the envelope's
    // text up to the results' value (returned), then `resultsJson` itself,
    // then the closing "}".
    static QByteArray datagramHead(const QJsonObject &envelope, int resultsSize);
    static QByteArray keepAlive();
    // Total length (16 + n + m) announced by the datagram header at the front
    // of `buffer` (or `offset` bytes into it), or -1 when no whole header
    // starts there.
    static qint64 announcedLength(const QByteArray &buffer, int offset = 0);

    // {"cmd": cmd, "err": err} plus "params" when `params` is not empty.
    static TQ2RpcPacket make(const QString &cmd, int err, const QJsonObject &params);

    QByteArray toCompact() const;
    // 0 and the object replaced when `bytes` is a JSON object; otherwise 4 and
    // the packet unchanged.
    int fromCompact(const QByteArray &bytes);

    // Relay envelope helpers. The envelope keys are "seq", "cno", "cmd",
    // "routers" (an array of hops {"fd", "session"}) and keys starting "_".
    //
    // Keeps only "seq", "cno", "cmd" and "_" keys of the packet's own object.
    void shrink();
    // The object becomes the envelope keys of `source`.
    void shrink(const QJsonObject &source);
    // Copies the envelope keys of `source` into `target`; the second form then
    // sets "err" and, when `errmsg` is not empty, "errmsg".
    static void copyResponsed(QJsonObject &target, const QJsonObject &source);
    static void copyResponsed(QJsonObject &target, const QJsonObject &source, int err,
                              const QString &errmsg);
    // A new packet holding the envelope keys of `source` (plus "err"/"errmsg").
    static TQ2RpcPacket copyResponsed(const QJsonObject &source);
    static TQ2RpcPacket copyResponsed(const QJsonObject &source, int err, const QString &errmsg);
    // Pops the last hop of "routers" into fd and session (0 when a key is
    // absent), removing "routers" when it becomes empty. False and nothing
    // changed when there is no hop.
    static bool takeRouter(int &fd, int &session, QJsonObject &object);

    // Tagged byte encoding of one JSON value (not used by the transport):
    // "|" text NUL; "?" t|f NUL; "=" number (15 significant digits) NUL;
    // ":" elements NUL; ">" (key value)... NUL; null and undefined: nothing.
    // Not representable: strings or keys holding NUL, keys holding a tag
    // character, null members other than the last of an object.
    static QByteArray toCompactValue(const QJsonValue &value);
    // Reads one encoded value that spans all of `bytes`. Malformed input
    // (unknown tag, missing terminator, bad number or bool, trailing bytes,
    // nesting deeper than 256) gives an undefined value and *ok false.
    static QJsonValue fromCompactValue(const QByteArray &bytes, bool *ok = nullptr);
    // As fromCompactValue, but the value must be an object.
    static QJsonObject fromCompactObject(const QByteArray &bytes, bool *ok = nullptr);

    // Registers the type name "TQ2RpcPacket"; cheap, may be called repeatedly.
    static void registerMetaType();

    QJsonObject object;
    QByteArray attachment;
    // Needed total after an Incomplete parse; 64-bit so that 16 + n + m of
    // any header fits.
    qint64 expected = 0;
};

Q_DECLARE_METATYPE(TQ2RpcPacket)
