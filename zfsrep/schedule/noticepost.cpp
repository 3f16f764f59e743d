#include "noticepost.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <memory>

namespace {

// How often a wait looks at the stop request.
constexpr int kSliceMs = 100;

} // namespace

bool NoticePost::send(const QString &url, const QByteArray &body, QString &failure, const std::atomic<bool> &stop) const
{
    const int tries = pausesMs.size() + 1;
    for (int attempt = 0; attempt < tries && !stop.load(); ++attempt) {
        if (attempt > 0) {
            for (int slept = 0; slept < pausesMs.at(attempt - 1) && !stop.load(); slept += kSliceMs)
                QThread::msleep(kSliceMs);
        }
        if (tryOnce(url, body, failure, stop))
            return true;
    }
    if (stop.load() && failure.isEmpty())
        failure = QStringLiteral("the service stopped");
    return false;
}

bool NoticePost::tryOnce(const QString &url, const QByteArray &body, QString &failure,
                         const std::atomic<bool> &stop) const
{
    QNetworkAccessManager manager;
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setHeader(QNetworkRequest::UserAgentHeader, QStringLiteral("zfsrep"));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    std::unique_ptr<QNetworkReply> reply(manager.post(request, body));
    QEventLoop loop;
    QTimer poll;
    QElapsedTimer clock;
    clock.start();
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (stop.load() || clock.elapsed() >= timeoutMs)
            loop.quit();
    });
    poll.start(kSliceMs);
    if (!reply->isFinished())
        loop.exec();
    if (!reply->isFinished()) {
        reply->abort();
        failure = stop.load() ? QStringLiteral("the service stopped")
                              : QStringLiteral("no answer within %1 ms").arg(timeoutMs);
        return false;
    }
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && status >= 200 && status < 300)
        return true;
    failure = status > 0 ? QStringLiteral("HTTP status %1").arg(status) : reply->errorString();
    return false;
}
