// One run of a mission: everything the run reads and changes lives here and
// is handed down the call chain. The mission as it was read when the run
// began, the journal its steps report into, the cancel token every step
// checks, the published progress, and the run record the history stores.
// The scheduler creates a Run, hands it to the executor and keeps it while it
// runs; RPC threads read its progress and record and may cancel it.
#pragma once

#include "canceltoken.h"
#include "mission.h"
#include "runprogress.h"
#include "runrecord.h"
#include "tq2journals.h"

#include <mutex>

class Run
{
    Q_DISABLE_COPY(Run)
public:
    Run(const Mission &mission, qint64 started);

    const Mission &mission() const { return missionRead; }
    TQ2Journals &journals() { return journal; }
    const CancelToken &cancelToken() const { return token; }
    // Any thread: asks every step of the run to end.
    void cancel(CancelToken::Reason reason) { token.cancel(reason); }
    bool isCancelled() const { return token.isCancelled(); }
    RunProgress &progress() { return published; }
    const RunProgress &progress() const { return published; }

    // Notes what the transfer did: kind, bytes moved, base and target
    // snapshot, and "stalled" or "cancelled" when it ended so (an empty kind
    // or outcome keeps what is there).
    void note(const QString &kind, qint64 bytes, const QString &base, const QString &target,
              const QString &outcome = QString());
    // Notes how many snapshots the run pruned on each side.
    void notePruned(int source, int target);
    // Notes the file the run wrote (an export), kept with its record.
    void noteFile(const QString &path);
    // A copy of the record (any thread).
    RunRecord record() const;
    void setRecord(const RunRecord &record);

    // The message of a failed run as its journal has it, without surrounding
    // white space: the journal's message, else that of its last failed entry.
    QString errorText() const;
    static QString errorText(const TQ2Journals &journals);

private:
    const Mission missionRead;
    TQ2Journals journal;
    CancelToken token;
    RunProgress published;
    mutable std::mutex recordLock;
    RunRecord runRecord;
};
