#include "runprogress.h"

#include "pvmeter.h"

RunProgress::RunProgress(int msnno, int action)
    : fields{{QStringLiteral("msnno"), msnno}, {QStringLiteral("action"), action}}
{
}

void RunProgress::beginStage(qint64 before, qint64 total)
{
    std::lock_guard<std::mutex> guard(lock);
    stageBase = before;
    runTotal = qMax(before, total);
    fields.insert(QStringLiteral("bytes"), before);
    fields.insert(QStringLiteral("total"), runTotal);
    publishPercent(PvMeter::percentOf(before, runTotal));
}

void RunProgress::publishPercent(int percent)
{
    // A later stage's total is learnt only when it starts: the share of the
    // larger total may be smaller than what was shown, which stays.
    highestPercent = qMax(highestPercent, percent);
    fields.insert(QStringLiteral("rate"), highestPercent);
}

void RunProgress::meter(const PvMeter &meter)
{
    std::lock_guard<std::mutex> guard(lock);
    const qint64 done = stageBase + meter.bytes();
    const qint64 total = qMax(runTotal, done);
    const int percent = PvMeter::percentOf(done, total);
    const qint64 rate = meter.bytesPerSecond();
    fields.insert(QStringLiteral("speed"), PvMeter::rateText(rate));
    publishPercent(percent);
    fields.insert(QStringLiteral("bytes"), done);
    fields.insert(QStringLiteral("total"), total);
    fields.insert(QStringLiteral("eta"), rate > 0 ? (total - done + rate - 1) / rate : -1);
}

void RunProgress::display(const QString &speed, int rate)
{
    std::lock_guard<std::mutex> guard(lock);
    fields.insert(QStringLiteral("speed"), speed);
    publishPercent(rate);
}

void RunProgress::complete()
{
    std::lock_guard<std::mutex> guard(lock);
    publishPercent(100);
}

QJsonObject RunProgress::toJson() const
{
    std::lock_guard<std::mutex> guard(lock);
    return fields;
}

qint64 RunProgress::bytes() const
{
    std::lock_guard<std::mutex> guard(lock);
    return fields.value(QStringLiteral("bytes")).toVariant().toLongLong();
}
