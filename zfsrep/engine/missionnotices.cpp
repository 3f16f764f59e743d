#include "missionnotices.h"

#include "missionbook.h"
#include "missionmetrics.h"
#include "missionvalidator.h"
#include "noticedecision.h"
#include "noticesender.h"
#include "runhistory.h"
#include "tq2journals.h"
#include "tq2print.h"

#include <QList>

MissionNotices::MissionNotices(MissionBook &missionBook, RunHistory &runHistory, NoticeSender &noticeSender,
                               std::function<QDateTime()> clockFunction)
    : book(missionBook), history(runHistory), sender(noticeSender), clock(std::move(clockFunction))
{
}

void MissionNotices::runFinished(const Mission &mission, const RunRecord &record)
{
    const NoticeSettings &settings = sender.settings();
    if (!settings.isEnabled())
        return;
    QList<RunRecord> runs;
    if (!history.list(runs, mission.msnno, kEarlierRuns + 1))
        TQ2TRACE("history.lastError()", history.lastError());
    QList<RunRecord> earlier;
    for (const RunRecord &run : runs) {
        if (run.runno != record.runno)
            earlier.append(run);
    }
    if (NoticeDecision::isSuccess(record.outcome)) {
        std::lock_guard<std::mutex> guard(stateLock);
        staleAnnounced.remove(mission.msnno);
        firstSeen.remove(mission.msnno);
    }
    const QString kind = NoticeDecision::afterRun(record.outcome, NoticeDecision::lastVerdict(earlier), settings);
    if (!kind.isEmpty())
        sender.send(Notice::of(kind, mission, record));
}

void MissionNotices::checkStale()
{
    if (!sender.settings().wants(QStringLiteral("stale")))
        return;
    TQ2Journals journals;
    QList<QJsonObject> rows;
    QList<RunHistory::OutcomeTotal> totals;
    QHash<int, RunRecord> latest;
    if (!book.rows(journals, rows) || !history.summary(totals) || !history.latest(latest)) {
        TQ2TRACE("staleCheck", journals.errmsg().isEmpty() ? history.lastError() : journals.errmsg());
        return;
    }
    QHash<int, qint64> lastSuccess;
    for (const RunHistory::OutcomeTotal &total : totals) {
        if (NoticeDecision::isSuccess(total.outcome))
            lastSuccess.insert(total.msnno, total.lastEnded);
    }
    const QDateTime now = clock();
    QList<Notice> stale;
    {
        std::lock_guard<std::mutex> guard(stateLock);
        QSet<int> present;
        for (const QJsonObject &row : rows) {
            const Mission mission = Mission::fromRow(row);
            present.insert(mission.msnno);
            if (mission.done || !MissionValidator::problem(row).isEmpty())
                continue;
            const qint64 period = MissionMetrics::schedulePeriod(mission.schedules, now);
            const qint64 since = firstSeen.value(mission.msnno, 0);
            if (since == 0 && lastSuccess.value(mission.msnno) == 0)
                firstSeen.insert(mission.msnno, now.toSecsSinceEpoch());
            if (!NoticeDecision::isStale(period, lastSuccess.value(mission.msnno), since, now.toSecsSinceEpoch())) {
                staleAnnounced.remove(mission.msnno);
                continue;
            }
            if (staleAnnounced.contains(mission.msnno))
                continue;
            staleAnnounced.insert(mission.msnno);
            Notice notice = Notice::of(QStringLiteral("stale"), mission, latest.value(mission.msnno));
            notice.time = now.toSecsSinceEpoch();
            stale.append(notice);
        }
        // A removed mission is forgotten.
        for (auto it = firstSeen.begin(); it != firstSeen.end();)
            it = present.contains(it.key()) ? std::next(it) : firstSeen.erase(it);
        for (auto it = staleAnnounced.begin(); it != staleAnnounced.end();)
            it = present.contains(*it) ? std::next(it) : staleAnnounced.erase(it);
    }
    for (const Notice &notice : stale)
        sender.send(notice);
}

void MissionNotices::resendUnsent()
{
    if (!sender.settings().wants(QStringLiteral("failure")))
        return;
    QHash<int, RunRecord> latest;
    if (!history.latest(latest)) {
        TQ2TRACE("history.lastError()", history.lastError());
        return;
    }
    for (const RunRecord &record : latest) {
        if (!NoticeDecision::isFailure(record.outcome) || record.notified)
            continue;
        TQ2Journals journals;
        QJsonObject row;
        if (book.row(journals, record.msnno, row))
            sender.send(Notice::of(QStringLiteral("failure"), Mission::fromRow(row), record));
    }
}

void MissionNotices::delivered(const Notice &notice)
{
    if (notice.runno <= 0 || notice.notice == QLatin1String("stale"))
        return;
    if (!history.markNotified(notice.runno))
        TQ2TRACE("history.lastError()", history.lastError());
}
