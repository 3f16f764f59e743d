#include "missionlisting.h"

#include "duetable.h"
#include "missionbook.h"
#include "runhistory.h"
#include "runverdict.h"
#include "schedules.h"
#include "tq2error.h"
#include "tq2journals.h"
#include "tq2utils.h"

#include <QHash>

MissionListing::MissionListing(MissionBook &missionBook, const DueTable &dueTable, std::function<LiveRuns()> live,
                               RunHistory &runHistory, std::function<QDateTime()> clockFunction)
    : book(missionBook), due(dueTable), liveRuns(std::move(live)), history(runHistory), clock(std::move(clockFunction))
{
}

bool MissionListing::list(TQ2Journals &journals, QJsonObject &result, int page, int ofpage)
{
    // The rows are changed in place and moved into the answer: no row is
    // copied between the statement and the answer.
    QList<QJsonObject> rows;
    if (!book.rows(journals, rows, page, ofpage))
        return false;
    // Missions often share one schedule list: each distinct text is parsed
    // once per listing and its array shared by the rows that hold it.
    QHash<QString, QJsonArray> schedules;
    QJsonArray records;
    RunFacts facts;
    if (!readRunFacts(journals, facts))
        return false;
    for (QJsonObject &row : rows) {
        const QString text = row.value(QStringLiteral("schedules")).toString();
        auto parsed = schedules.constFind(text);
        if (parsed == schedules.constEnd())
            parsed = schedules.insert(text, toJsonArray(text));
        row.insert(QStringLiteral("schedules"), parsed.value());
        const auto live = facts.live.progress.constFind(toInt(row.value(QStringLiteral("msnno"))));
        if (live != facts.live.progress.constEnd()) {
            for (const QString &key : {QStringLiteral("speed"), QStringLiteral("rate"), QStringLiteral("bytes"),
                                       QStringLiteral("total"), QStringLiteral("eta")}) {
                if (live->contains(key))
                    row.insert(key, live->value(key));
                else
                    row.remove(key);
            }
        }
        records.append(std::move(row));
    }
    rows.clear();
    addRunFields(facts, records);
    result.insert(QStringLiteral("records"), records);
    return true;
}

bool MissionListing::readRunFacts(TQ2Journals &journals, RunFacts &facts)
{
    if (!history.latest(facts.latest)) {
        journals.add(QStringLiteral("MissionListing::addRunFields"), TQ2Error::ERR_SQLERROR, QStringLiteral("run_latest"),
                     false, history.lastError(), QString());
        journals.setErr(TQ2Error::ERR_SQLERROR, history.lastError());
        return false;
    }
    facts.dueTimes = due.entries();
    facts.live = liveRuns();
    facts.nowSeconds = clock().toSecsSinceEpoch();
    return true;
}

MissionRowText::RunFields MissionListing::runFields(const RunFacts &facts, int msnno, bool done) const
{
    // "Next pass" entries (0: run now, 1: when the minute ends) show the
    // moment the scheduler will take them.
    const qint64 nextMinute = (facts.nowSeconds / 60 + 1) * 60;
    const RunRecord last = facts.latest.value(msnno);
    const auto entry = facts.dueTimes.constFind(msnno);
    qint64 nextrun = 0;
    if (entry != facts.dueTimes.constEnd())
        nextrun = entry.value() == DueTable::kNow ? facts.nowSeconds : entry.value() == DueTable::kNextPass ? nextMinute : entry.value();
    if (nextrun >= kNeverDue)
        nextrun = 0;
    RunVerdict::MissionFacts mission;
    mission.running = facts.live.progress.contains(msnno);
    mission.waiting = facts.live.waiting.contains(msnno);
    mission.armed = nextrun != 0;
    mission.done = done;
    mission.lastOutcome = last.outcome;
    mission.problem = due.problem(msnno);
    MissionRowText::RunFields fields;
    fields.state = RunVerdict::missionState(mission);
    fields.nextrun = nextrun;
    fields.lastrun = last.started;
    fields.lastresult = last.outcome;
    fields.lasterror = mission.problem.isEmpty() ? last.error : mission.problem;
    if (mission.waiting && !mission.running)
        fields.waitreason = facts.live.waiting.value(msnno);
    return fields;
}

void MissionListing::addRunFields(const RunFacts &facts, QJsonArray &records)
{
    for (int i = 0; i < records.size(); ++i) {
        QJsonObject row = records.at(i).toObject();
        const MissionRowText::RunFields fields =
            runFields(facts, toInt(row.value(QStringLiteral("msnno"))), toBool(row.value(QStringLiteral("done"))));
        row.insert(QStringLiteral("state"), fields.state);
        row.insert(QStringLiteral("nextrun"), fields.nextrun);
        row.insert(QStringLiteral("lastrun"), fields.lastrun);
        row.insert(QStringLiteral("lastresult"), fields.lastresult);
        row.insert(QStringLiteral("lasterror"), fields.lasterror);
        if (!fields.waitreason.isEmpty())
            row.insert(QStringLiteral("waitreason"), fields.waitreason);
        records.replace(i, row);
    }
}

bool MissionListing::refreshKept(TQ2Journals &journals, int page, int ofpage)
{
    // The stamp is read before the rows: a change between the two leaves
    // an older stamp with newer rows, read again at the next listing.
    MissionBook::Stamp stamp;
    if (!book.stamp(journals, stamp))
        return false;
    if (kept.valid && kept.stamp == stamp && kept.page == page && kept.ofpage == ofpage)
        return true;
    kept = Kept();
    const bool read = book.visitRows(journals, [this](const TQ2SqlRow &row) {
        kept.rows.push_back(KeptRow{toInt(kept.layout.value(row, "msnno")), toBool(kept.layout.value(row, "done"))});
        kept.layout.render(kept.texts, row);
    }, page, ofpage);
    if (!read) {
        kept = Kept();
        return false;
    }
    kept.stamp = stamp;
    kept.page = page;
    kept.ofpage = ofpage;
    kept.valid = true;
    return true;
}

bool MissionListing::listJson(TQ2Journals &journals, QByteArray &json, int page, int ofpage)
{
    // One snapshot of the runs decides both the live figures and the state.
    RunFacts facts;
    if (!readRunFacts(journals, facts))
        return false;
    std::lock_guard<std::mutex> guard(keptLock);
    if (!refreshKept(journals, page, ofpage))
        return false;
    json.clear();
    json.reserve(kept.texts.text.size() + int(kept.rows.size()) * 160 + 16);
    json.append("{\"records\":[");
    for (size_t i = 0; i < kept.rows.size(); ++i) {
        const KeptRow &row = kept.rows[i];
        if (i > 0)
            json.append(',');
        const auto live = facts.live.progress.constFind(row.msnno);
        kept.layout.write(json, kept.texts, int(i), runFields(facts, row.msnno, row.done),
                          live != facts.live.progress.constEnd() ? &live.value() : nullptr);
    }
    json.append("]}");
    return true;
}
