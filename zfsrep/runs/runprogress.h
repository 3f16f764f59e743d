// The published progress of one run: what the listing and `watch` show while
// it goes on ("msnno", "action", "speed", "rate" 0..100, and for metered
// stages "bytes", "total", "eta"). A run of several stages counts its bytes
// across them: each stage starts from the bytes the run had moved before it
// (including a resumed stream's offset) towards the run's expected total.
// The percentage never goes back within a run.
//
// Written by the run's own thread, read by RPC threads; one lock.
#pragma once

#include <QJsonObject>
#include <QString>

#include <mutex>

class PvMeter;

class RunProgress
{
public:
    RunProgress(int msnno, int action);

    // The next stage starts after `before` bytes of a run expected to move
    // `total` bytes in all.
    void beginStage(qint64 before, qint64 total);
    // A metered stage's figures, counted from the stage's start.
    void meter(const PvMeter &meter);
    // A stage that shows pv's display: its rate text and percentage.
    void display(const QString &speed, int rate);
    // The run's transfer is complete.
    void complete();

    // A copy of the published fields.
    QJsonObject toJson() const;
    // Bytes moved in all, as last published.
    qint64 bytes() const;

private:
    // Publishes the run's percentage, never below one shown before.
    void publishPercent(int percent);

    mutable std::mutex lock;
    QJsonObject fields;
    qint64 stageBase = 0;
    qint64 runTotal = 0;
    int highestPercent = 0;
};
