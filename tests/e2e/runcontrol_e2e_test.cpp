// A run's cancel reaches every step, not only the streaming stage: a cancel
// while a listing or the size estimate hangs on either side ends the run at
// once, and nothing is sent or received after it.
#include "tbharness.h"
#include "transferfixture.h"

#include <QElapsedTimer>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

class RunControl : public TransferE2e
{
protected:
    // Runs `kind` with a cancel 1.5 s after the run starts; returns how long
    // the run took after the cancel (ms), -1 when it never ended.
    qint64 cancelledAfterStart(const std::function<bool(TQ2Journals &)> &kind)
    {
        bool ok = true;
        const qint64 after = cancelledAfter(1500, kind, ok, lastJournal);
        EXPECT_FALSE(ok) << "a cancelled run does not succeed";
        return after;
    }

    QByteArray lastJournal; // of the last cancelled run, for failure messages
};

TEST_F(RunControl, CancelDuringAListingOrTheSizeEstimateEndsTheRunWithinTwoSeconds)
{
    struct Case {
        const char *name;
        bool remote;        // where the commands hang
        QStringList knobs;  // the commands that hang for a minute
        int action;
    } cases[] = {
        // The tree listing is a token query and a snapshot listing.
        {"send: remote listing", true, {"delay-get", "delay-list"}, 1},
        {"send: local size estimate", false, {"delay-send"}, 1},
        {"pull: remote listing", true, {"delay-get", "delay-list"}, 2},
        {"pull: remote size estimate", true, {"delay-send"}, 2},
    };
    makeLocalDataset("src", 61);
    makeRemoteDataset("far");
    writeRemoteFile("backup/far", "a.bin", 100000, 62);
    ASSERT_TRUE(tb::remoteZfs({"snapshot", "backup/far@s1"}).ok());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (const QString &knob : c.knobs) {
            if (c.remote)
                tb::setRemoteFault(knob, "60000");
            else
                tb::setLocalFault(knob, "60000");
        }
        const qint64 afterCancel = cancelledAfterStart([&](TQ2Journals &j) {
            return c.action == 1 ? drive->sendPool(j, mission(1))
                                 : drive->recvPool(j, mission(2, {{"caption", "Pull"}, {"name", "pulled"}, {"path", "backup/far"}}));
        });
        tb::clearFaults();
        EXPECT_GE(afterCancel, 0);
        EXPECT_LT(afterCancel, 2000) << "the hanging command is ended with the run";
        EXPECT_FALSE(tb::remoteExists("backup/src")) << "nothing was sent after the cancel: " << lastJournal.toStdString();
        EXPECT_FALSE(tb::localExists("tank/pulled")) << "nothing was received after the cancel";
    }
}

} // namespace
