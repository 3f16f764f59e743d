// How a run's outcome and a listed mission's state are decided.
#include "runverdict.h"

#include <gtest/gtest.h>

namespace {

TEST(RunOutcome, FollowsSuccessStopTransferAndCancelInThatOrder)
{
    const struct {
        const char *name;
        bool succeeded;
        bool stopping;
        QString transfer;
        bool cancelRequested;
        QString expected;
    } cases[] = {
        {"success wins over everything", true, true, "stalled", true, "succeeded"},
        {"a stop of the service interrupts", false, true, "cancelled", true, "interrupted"},
        {"the transfer's own stalled", false, false, "stalled", false, "stalled"},
        {"the transfer's own cancelled", false, false, "cancelled", false, "cancelled"},
        {"still running from the start counts as unset", false, false, "running", false, "failed"},
        {"an operator's cancel", false, false, "", true, "cancelled"},
        {"a plain failure", false, false, "", false, "failed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunVerdict::outcome(c.succeeded, c.stopping, c.transfer, c.cancelRequested), c.expected);
    }
}

TEST(MissionState, ListsRunningWaitingFailedArmedDoneAndPending)
{
    const struct {
        const char *name;
        RunVerdict::MissionFacts facts;
        QString expected;
    } cases[] = {
        {"never ran, nothing armed", {false, false, false, "", ""}, "pending"},
        {"never ran, armed", {false, true, false, "", ""}, "armed"},
        {"running wins", {true, true, false, "failed", "bad"}, "running"},
        {"stored mission with a problem", {false, true, false, "succeeded", "schedules[0].hours: 25"}, "failed"},
        {"last run failed, nothing armed", {false, false, true, "failed", ""}, "failed"},
        {"last run stalled, nothing armed", {false, false, false, "stalled", ""}, "failed"},
        {"last run cancelled, armed again", {false, true, false, "cancelled", ""}, "failed"},
        {"done flag", {false, false, true, "", ""}, "done"},
        {"done and still in the due table", {false, true, true, "succeeded", ""}, "done"},
        {"last run succeeded", {false, false, false, "succeeded", ""}, "done"},
        {"succeeded and armed for the next time", {false, true, false, "succeeded", ""}, "armed"},
        {"waiting for a run slot", {false, false, false, "", "", true}, "waiting"},
        {"waiting after a failed run", {false, false, false, "failed", "", true}, "waiting"},
        {"waiting, asked for after a success", {false, false, false, "running", "", true}, "waiting"},
        {"running wins over waiting", {true, false, false, "running", "", true}, "running"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RunVerdict::missionState(c.facts), c.expected);
    }
}

} // namespace
