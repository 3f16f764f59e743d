// The run history of the missions: one row per run in the t_run table of the
// service's database (statements "run_*" of the catalogue). A run is begun
// before its transfer starts and finished once it ended; only the newest
// kKeptPerMission runs of a mission are kept.
//
// Any thread may call it: every operation is one or two catalogue statements
// on the shared connection. A failed statement returns false; lastError()
// then holds SQLite's message.
#pragma once

#include "runrecord.h"

#include <QHash>
#include <QList>
#include <QString>

class TQ2DBSqlite;

class RunHistory
{
public:
    static constexpr int kKeptPerMission = 1000;
    // Characters of a run's error text that are stored.
    static constexpr int kLongestError = 4096;

    // One group of the summary: a mission's runs with one outcome.
    struct OutcomeTotal {
        int msnno = 0;
        QString outcome;
        qint64 runs = 0;
        qint64 bytes = 0;
        qint64 lastEnded = 0; // the newest end time of those runs
    };

    // `database` must outlive the history.
    explicit RunHistory(TQ2DBSqlite &database);

    // Inserts `run` as running; sets run.runno and run.outcome.
    bool begin(RunRecord &run);
    // Stores the end of the run (kind, end time, outcome, error, bytes, rate,
    // snapshots, the file an export wrote), then drops the mission's runs
    // beyond kKeptPerMission. The
    // error is stored cut to its first kLongestError characters.
    bool finish(const RunRecord &run);
    // Notes that the notice of run `runno` went out.
    bool markNotified(qint64 runno);
    // Turns every row still "running" into "interrupted", ended at `now`
    // (or at its start, when that is later). Called once at start, before the
    // scheduler runs anything.
    bool markInterrupted(qint64 now);
    // The mission's runs, newest first, at most `limit`.
    bool list(QList<RunRecord> &runs, int msnno, int limit);
    // The newest run of every mission that has one.
    bool latest(QHash<int, RunRecord> &runs);
    // Counts, bytes and newest end per mission and outcome.
    bool summary(QList<OutcomeTotal> &totals);

    QString lastError() const;

    // A stored row in the record's form.
    static RunRecord fromRow(const QJsonObject &row);

private:
    TQ2DBSqlite &db;
};
