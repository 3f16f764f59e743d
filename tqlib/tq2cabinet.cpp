#include "tq2cabinet.h"

#include <mutex>

struct TQ2Cabinet::Private {
    mutable std::mutex mutex;
    bool local = false;
    QJsonObject entries;
    QHash<QString, QJsonValue> values;
    QString token;
    QByteArray resultsJson;
};

using Lock = std::lock_guard<std::mutex>;

TQ2Cabinet::TQ2Cabinet() : p(std::make_unique<Private>()) {}

TQ2Cabinet::~TQ2Cabinet() = default;

bool TQ2Cabinet::isLocal() const
{
    Lock lock(p->mutex);
    return p->local;
}

void TQ2Cabinet::setLocal(bool local)
{
    Lock lock(p->mutex);
    p->local = local;
}

void TQ2Cabinet::insert(const QString &name, const QJsonValue &value)
{
    Lock lock(p->mutex);
    p->entries.insert(name, value);
}

QJsonValue TQ2Cabinet::value(const QString &name) const
{
    Lock lock(p->mutex);
    return p->entries.value(name);
}

QJsonObject TQ2Cabinet::object() const
{
    Lock lock(p->mutex);
    return p->entries;
}

void TQ2Cabinet::set(const QString &key, const QJsonValue &value)
{
    Lock lock(p->mutex);
    p->values.insert(key, value);
}

bool TQ2Cabinet::get(const QString &key, QJsonValue &value) const
{
    Lock lock(p->mutex);
    const auto it = p->values.constFind(key);
    if (it == p->values.constEnd())
        return false;
    value = it.value();
    return true;
}

QString TQ2Cabinet::getString(const QString &key) const
{
    Lock lock(p->mutex);
    return p->values.value(key).toString();
}

bool TQ2Cabinet::contains(const QString &key) const
{
    Lock lock(p->mutex);
    return p->values.contains(key);
}

void TQ2Cabinet::remove(const QString &key)
{
    Lock lock(p->mutex);
    p->values.remove(key);
}

QStringList TQ2Cabinet::keys() const
{
    Lock lock(p->mutex);
    return p->values.keys();
}

void TQ2Cabinet::clear()
{
    Lock lock(p->mutex);
    p->values.clear();
}

QString TQ2Cabinet::token() const
{
    Lock lock(p->mutex);
    return p->token;
}

void TQ2Cabinet::setToken(const QString &token)
{
    Lock lock(p->mutex);
    p->token = token;
}

void TQ2Cabinet::setResultsJson(const QByteArray &json)
{
    Lock lock(p->mutex);
    p->resultsJson = json;
}

QByteArray TQ2Cabinet::takeResultsJson()
{
    Lock lock(p->mutex);
    QByteArray json;
    json.swap(p->resultsJson);
    return json;
}
