// Where the notices of finished runs go and which ones are sent: the
// configuration's "notify" object. A command (argument list, absolute program
// first) gets each notice as JSON on its standard input and as ZFSREP_*
// variables; a URL gets it as an HTTP(S) POST. A plain value.
#pragma once

#include <QString>
#include <QStringList>

struct NoticeSettings {
    // The words "on" may hold.
    static QStringList kinds()
    {
        return {QStringLiteral("failure"), QStringLiteral("recovery"), QStringLiteral("success"), QStringLiteral("stale")};
    }

    QStringList command; // empty: no command
    QString url;         // empty: no POST
    QStringList on;      // the kinds of notice sent

    bool isEnabled() const { return (!command.isEmpty() || !url.isEmpty()) && !on.isEmpty(); }
    bool wants(const QString &kind) const { return isEnabled() && on.contains(kind); }
};
