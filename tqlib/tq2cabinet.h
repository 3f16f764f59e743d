// The call environment handed to every RPC method: the result journal the
// method reports into (first base, so a cabinet is a TQ2Journals), plus named
// entries, a key/value store, a token and a "local" flag. The local server
// keeps one cabinet per connection for the connection's whole life, so the
// journal carries over from one request to the next.
//
// Every cabinet operation takes the cabinet's own mutex; the inherited
// journal is not locked (one thread at a time, the connection's).
#pragma once

#include "tq2journals.h"

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QMetaType>
#include <QString>
#include <QStringList>

#include <memory>

class TQ2Cabinet : public TQ2Journals
{
public:
    TQ2Cabinet();
    ~TQ2Cabinet() override;

    bool isLocal() const;
    void setLocal(bool local);

    // Named entries (the server inserts "protocol" = 128).
    void insert(const QString &name, const QJsonValue &value);
    QJsonValue value(const QString &name) const;
    QJsonObject object() const;

    // Key/value store.
    void set(const QString &key, const QJsonValue &value);
    // True when `key` exists; its value then goes to `value`.
    bool get(const QString &key, QJsonValue &value) const;
    // The value as text, or an empty string when absent or not a string.
    QString getString(const QString &key) const;
    bool contains(const QString &key) const;
    void remove(const QString &key);
    QStringList keys() const;
    void clear();

    QString token() const;
    void setToken(const QString &token);

    // A method whose "results" is a large value it has already serialized
    // (a cached listing) may hand over that compact JSON text with the
    // value; the server then writes the text instead of serializing the
    // value again. The text must be exactly the compact JSON of the
    // "results" the method set. The server takes (and so clears) it after
    // each request.
    void setResultsJson(const QByteArray &json);
    QByteArray takeResultsJson();

private:
    struct Private;
    std::unique_ptr<Private> p;
};

Q_DECLARE_METATYPE(TQ2Cabinet *)
