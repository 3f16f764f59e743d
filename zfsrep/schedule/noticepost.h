// The URL form of a notice: one HTTP or HTTPS POST of its JSON with Qt
// Network, each try bounded by a timeout, a few tries with growing pauses.
// Used on the notice sender's thread only (the network manager lives in the
// thread that calls); a stop request ends a try or a pause within ~100 ms.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <atomic>

class NoticePost
{
public:
    // Per try, and the pauses before the second and third try.
    int timeoutMs = 10000;
    QList<int> pausesMs{1000, 3000};

    // POSTs `body` as application/json to `url` until a 2xx answer or the
    // tries are spent. False with `failure` naming the last try's fault.
    bool send(const QString &url, const QByteArray &body, QString &failure, const std::atomic<bool> &stop) const;

private:
    bool tryOnce(const QString &url, const QByteArray &body, QString &failure, const std::atomic<bool> &stop) const;
};
