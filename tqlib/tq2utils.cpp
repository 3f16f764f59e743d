#include "tq2utils.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

template <typename T>
T truncateDouble(double d)
{
    if (std::isnan(d))
        return 0;
    const double t = std::trunc(d);
    if (t <= static_cast<double>(std::numeric_limits<T>::min()))
        return std::numeric_limits<T>::min();
    if (t >= static_cast<double>(std::numeric_limits<T>::max()))
        return std::numeric_limits<T>::max();
    return static_cast<T>(t);
}

template <typename T>
bool stringToInteger(const QString &text, T &out)
{
    bool ok = false;
    const qlonglong v10 = text.toLongLong(&ok, 10);
    if (ok && v10 >= std::numeric_limits<T>::min() && v10 <= std::numeric_limits<T>::max()) {
        out = static_cast<T>(v10);
        return true;
    }
    const qlonglong v16 = text.toLongLong(&ok, 16);
    if (ok && v16 >= std::numeric_limits<T>::min() && v16 <= std::numeric_limits<T>::max()) {
        out = static_cast<T>(v16);
        return true;
    }
    return false;
}

template <typename T>
T valueToInteger(const QJsonValue &value, T def)
{
    switch (value.type()) {
    case QJsonValue::Double:
        return truncateDouble<T>(value.toDouble());
    case QJsonValue::Bool:
        return value.toBool() ? 1 : 0;
    case QJsonValue::String: {
        T out = 0;
        return stringToInteger(value.toString(), out) ? out : 0;
    }
    default:
        return def;
    }
}

QJsonDocument parseDocument(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    return error.error == QJsonParseError::NoError ? doc : QJsonDocument();
}

} // namespace

int toInt(const QJsonValue &value) { return valueToInteger<int>(value, 0); }

int toInt(const QJsonValue &value, int def) { return valueToInteger<int>(value, def); }

qint64 toInt64(const QJsonValue &value) { return valueToInteger<qint64>(value, 0); }

bool toBool(const QString &text)
{
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok, 10);
    if (ok && number > 0)
        return true;
    static const char *const words[] = {"true", "yes", "on", "ok", "y", "t"};
    for (const char *word : words) {
        if (text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

bool toBool(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        return value.toBool();
    case QJsonValue::Double:
        return value.toDouble() > 0.0;
    case QJsonValue::String:
        return toBool(value.toString());
    default:
        return false;
    }
}

QJsonObject toJsonObject(const QByteArray &bytes) { return parseDocument(bytes).object(); }

QJsonObject toJsonObject(const QString &text) { return toJsonObject(text.toUtf8()); }

QJsonArray toJsonArray(const QByteArray &bytes) { return parseDocument(bytes).array(); }

QJsonArray toJsonArray(const QString &text) { return toJsonArray(text.toUtf8()); }

QJsonObject jsonMerge(const QJsonObject &a, const QJsonObject &b)
{
    QJsonObject result = a;
    for (auto it = b.constBegin(); it != b.constEnd(); ++it)
        result.insert(it.key(), it.value());
    return result;
}

qint64 toSizeMB(const QString &text)
{
    struct Unit {
        const char *suffix;
        double factor;
    };
    static const Unit units[] = {
        {"k", 1024.0}, {"kb", 1024.0}, {"kib", 1024.0},
        {"m", 1048576.0}, {"mb", 1048576.0}, {"mib", 1048576.0},
        {"g", 1073741824.0}, {"gb", 1073741824.0}, {"gib", 1073741824.0},
        {"t", 1099511627776.0}, {"tb", 1099511627776.0}, {"tib", 1099511627776.0},
    };
    const QString lower = text.trimmed().toLower();
    qint64 bytes = 0;
    bool matched = false;
    for (const Unit &unit : units) {
        const QLatin1String suffix(unit.suffix);
        if (lower.endsWith(suffix)) {
            bool ok = false;
            const double number = lower.left(lower.size() - suffix.size()).trimmed().toDouble(&ok);
            bytes = ok ? truncateDouble<qint64>(number * unit.factor) : 0;
            matched = true;
            break;
        }
    }
    if (!matched) {
        bool ok = false;
        if (lower.endsWith(QLatin1Char('b'))) {
            const qulonglong number = lower.left(lower.size() - 1).trimmed().toULongLong(&ok, 10);
            bytes = ok ? static_cast<qint64>(std::min<qulonglong>(number, std::numeric_limits<qint64>::max())) : 0;
        } else {
            const qlonglong number = lower.toLongLong(&ok, 10);
            bytes = ok ? number : 0;
        }
    }
    return bytes / 1048576;
}

QList<int> toSortList(const QJsonArray &array)
{
    QList<int> list;
    list.reserve(array.size());
    for (const QJsonValue &value : array)
        list.append(toInt(value));
    std::sort(list.begin(), list.end());
    return list;
}
