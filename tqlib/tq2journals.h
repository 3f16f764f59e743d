// The result journal every operation reports into: a result code (starting at
// ERR_FAILED), a message, a list of timed entries ("segments") and the time
// accumulated by `step`. The connection thread turns it into the "err",
// "errmsg", "elapsed" and "journals" keys of an RPC response.
//
// Not locked: one journal is used by one thread at a time.
#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>

#include <memory>

class TQ2Journals
{
public:
    TQ2Journals();
    virtual ~TQ2Journals();
    TQ2Journals(const TQ2Journals &) = delete;
    TQ2Journals &operator=(const TQ2Journals &) = delete;

    int err() const;
    QString errmsg() const;
    qint64 times() const;
    QJsonArray segments() const;

    // Sets code and message (verbatim) and returns "[NAME]message".
    QString setErr(int code, const QString &message);
    void setErrmsg(const QString &message);
    void setSegments(const QJsonArray &segments);
    // Code with an empty message first, then the message, the segments, and
    // the accumulated time back to 0 (the timer keeps running).
    void reset(int code, const QString &message, const QJsonArray &segments);

    // Appends the value as one segment, unchanged.
    void add(const QJsonObject &segment);
    void add(const QJsonArray &segment);

    // Restarts the timing: total 0, timer restarted.
    void begin();
    // Milliseconds since the last restart; added to the total; restarts.
    qint64 step();
    // Like step, but returns the new total.
    qint64 end();

    // Entry {"place", "times", "content"} plus every key of `object`.
    QJsonObject add(const QString &place, const QString &content, const QJsonObject &object);
    // Entry {"place", "times", "action", "success", "msg"?, "command"?}; "msg"
    // falls back to the journal's message when `msg` is empty.
    QJsonObject add(const QString &place, const QString &action, bool success,
                    const QString &msg, const QString &command);
    // setErr(code, msg), then the entry above.
    QJsonObject add(const QString &place, int code, const QString &action, bool success,
                    const QString &msg, const QString &command);

    // {"err", "elapsed", "errmsg"?, "journals"?} for logging and traces.
    QJsonObject toObject() const;
    // Writes "err", "errmsg" (failure with a message only) and, when verbose,
    // "elapsed" and "journals" (when there are segments) into `response`.
    // Adds the time since the last restart to the total first.
    void toRetObject(QJsonObject &response, bool verbose) const;
    void toRetObject(QJsonObject *response, bool verbose) const;

private:
    struct Private;
    std::unique_ptr<Private> d;
};
