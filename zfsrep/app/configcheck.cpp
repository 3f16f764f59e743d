#include "configcheck.h"

#include "compressor.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QVector>

#include <cmath>

namespace ConfigCheck {

namespace {

// The most seconds of a stall timeout whose milliseconds still fit an int.
constexpr qint64 kMostStallSeconds = 2147483;

QString shown(const QJsonValue &value)
{
    // One value as JSON text: "abc" with its quotes, 42, true, [1,2].
    const QJsonArray wrapped{value};
    const QByteArray text = QJsonDocument(wrapped).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(text.mid(1, text.size() - 2));
}

bool isFlag(const QJsonValue &value)
{
    if (value.isBool() || value.isDouble())
        return true;
    if (!value.isString())
        return false;
    static const char *const words[] = {"true", "false", "yes", "no", "on", "off", "ok", "y", "n", "t", "f", "1", "0"};
    const QString text = value.toString().trimmed();
    for (const char *word : words) {
        if (text.compare(QLatin1String(word), Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}


// Edits (insert, delete, replace) between two short names.
int distance(const QString &a, const QString &b)
{
    QVector<int> row(b.size() + 1);
    for (int j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            row[j] = qMin(qMin(row[j] + 1, row[j - 1] + 1), diagonal + (a.at(i - 1) == b.at(j - 1) ? 0 : 1));
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The known key a typo most likely meant; empty when none is close.
QString nearest(const QString &name)
{
    constexpr int kMostEdits = 2;
    QString best;
    int bestDistance = kMostEdits + 1;
    for (const Key &key : keys()) {
        const int d = distance(name.toLower(), QLatin1String(key.name));
        if (d < bestDistance) {
            best = QLatin1String(key.name);
            bestDistance = d;
        }
    }
    return best;
}

// Why `value` does not suit `key`; empty when it does.
QString problem(const Key &key, const QJsonValue &value)
{
    switch (key.kind) {
    case Kind::Text:
        return value.isString() ? QString() : QStringLiteral("is not text");
    case Kind::Flag:
        return isFlag(value) ? QString() : QStringLiteral("is not a flag (true or false)");
    case Kind::Whole: {
        qint64 number = 0;
        if (!wholeOf(value, number))
            return QStringLiteral("is not a whole number");
        if (number < key.least || number > key.most)
            return QStringLiteral("is out of its range %1..%2").arg(key.least).arg(key.most);
        return QString();
    }
    case Kind::Limit:
    case Kind::Unparsed:
        return QString();
    }
    return QString();
}

} // namespace

bool wholeOf(const QJsonValue &value, qint64 &out)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (!std::isfinite(number) || std::floor(number) != number || std::fabs(number) > 9e15)
            return false;
        out = qint64(number);
        return true;
    }
    if (value.isString()) {
        bool ok = false;
        out = value.toString().trimmed().toLongLong(&ok, 10);
        return ok;
    }
    return false;
}

const QList<Key> &keys()
{
    static const QList<Key> all{
        {"lpcid", Kind::Text},
        {"lpcgroup", Kind::Text, 0, 0, "unset (a world-accessible socket)"},
        {"debugging", Kind::Flag, 0, 0, "false"},
        {"appname", Kind::Text, 0, 0, "empty"},
        {"stalltimeout", Kind::Whole, 0, kMostStallSeconds, "600"},
        {"sshshare", Kind::Flag, 0, 0, "true"},
        {"sshidentity", Kind::Text, 0, 0, "unset"},
        {"sshciphers", Kind::Text, 0, 0, "the measured order"},
        {"metricsfile", Kind::Text, 0, 0, "unset (no file)"},
        {"compresslevel", Kind::Whole, 1, 9, "6"},
        {"compressthreads", Kind::Whole, 1, Compressor::kMaxThreads, "every core"},
        {"maxconnections", Kind::Limit},
        {"maxpeerconnections", Kind::Limit},
        {"maxrequestbytes", Kind::Limit},
        {"maxpendingbytes", Kind::Limit},
        {"maxpeerpendingbytes", Kind::Limit},
        {"partialtimeout", Kind::Limit},
        {"idletimeout", Kind::Limit},
        {"maxparallel", Kind::Unparsed},
        {"maxperhost", Kind::Unparsed},
        {"notify", Kind::Unparsed},
        {"hooks", Kind::Unparsed},
    };
    return all;
}

QJsonObject checked(const QJsonObject &config, QStringList &warnings)
{
    QJsonObject kept = config;
    for (auto it = config.begin(); it != config.end(); ++it) {
        const Key *known = nullptr;
        for (const Key &key : keys()) {
            if (it.key() == QLatin1String(key.name))
                known = &key;
        }
        if (!known) {
            const QString guess = nearest(it.key());
            warnings.append(QStringLiteral("%1: unknown key, ignored%2")
                                .arg(it.key(), guess.isEmpty() ? QString()
                                                               : QStringLiteral(" (did you mean %1?)").arg(guess)));
            continue;
        }
        // A null stands for "not set" everywhere the configuration is read.
        if (it.value().isNull())
            continue;
        const QString why = problem(*known, it.value());
        if (why.isEmpty())
            continue;
        kept.remove(it.key());
        const QString keeps = *known->defaultText ? QStringLiteral("; the default %1 is kept").arg(QLatin1String(known->defaultText))
                                                  : QStringLiteral("; ignored");
        warnings.append(QStringLiteral("%1: %2 %3%4").arg(it.key(), shown(it.value()), why, keeps));
    }
    return kept;
}

} // namespace ConfigCheck
