// A run's error as people read it: zfs's usage text after its message
// dropped (tested on the recorded texts), and a failure on the far side
// named with host and user.
#include "failuretext.h"

#include "commandreport.h"
#include "fixtures.h"
#include "stageoutput.h"

#include <gtest/gtest.h>

namespace {

TEST(FailureText, DropsTheUsageTextAfterAZfsMessage)
{
    const struct {
        const char *name;
        QString text;
        QString kept;
    } cases[] = {
        {"snapshot of a missing dataset", QString::fromUtf8(fixture("zfs/zfs-snapshot-r-missing.stderr")),
         "cannot open 'tank/nope': dataset does not exist"},
        {"an option an older zfs lacks", QString::fromUtf8(fixture("zfs/zfs-list-pj-2.2.stderr")),
         "invalid option 'j'"},
        {"no usage", "cannot open 'tank/nope': dataset does not exist\nno datasets available\n",
         "cannot open 'tank/nope': dataset does not exist\nno datasets available\n"},
        {"usage with its synopsis on the line", "missing dataset argument\nusage: zfs list [-H]\n",
         "missing dataset argument"},
        {"only usage", "usage:\n\tlist [-Hp]\n", "usage:\n\tlist [-Hp]\n"},
        {"empty", "", ""},
        {"a word usage inside a message", "cannot send: usage: of the pool is high\n",
         "cannot send: usage: of the pool is high\n"},
        {"blank lines before usage", "cannot open 'x': dataset does not exist\r\n\nusage:\n",
         "cannot open 'x': dataset does not exist"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(FailureText::withoutUsage(c.text).toStdString(), c.kept.toStdString());
    }
}

TEST(FailureText, AFailureOnTheFarSideNamesHostAndUser)
{
    EXPECT_EQ(FailureText::onRemote("backup1", "root", "Permission denied, please try again."),
              "on backup1 as root: Permission denied, please try again.");
    EXPECT_EQ(FailureText::onRemote("backup1", "root", QString::fromUtf8(fixture("zfs/zfs-snapshot-r-missing.stderr"))),
              "on backup1 as root: cannot open 'tank/nope': dataset does not exist");
    const QString once = FailureText::onRemote("10.0.0.2", "zr", "cannot open 'backup': dataset does not exist");
    EXPECT_EQ(FailureText::onRemote("10.0.0.2", "zr", once), once) << "named once";
    EXPECT_EQ(FailureText::onRemote("10.0.0.3", "zr", once), "on 10.0.0.3 as zr: " + once)
        << "another host is another prefix";
}

TEST(FailureText, CommandAndStageErrorsComeWithoutUsage)
{
    ProcessOutcome outcome;
    outcome.started = true;
    outcome.finished = true;
    outcome.exitCode = 2;
    outcome.standardError = fixture("zfs/zfs-snapshot-r-missing.stderr");
    EXPECT_EQ(CommandReport::errorText(outcome), "cannot open 'tank/nope': dataset does not exist");
    EXPECT_EQ(StageOutput::errorText(QByteArray(), fixture("zfs/zfs-snapshot-r-missing.stderr")),
              "cannot open 'tank/nope': dataset does not exist");
    EXPECT_EQ(StageOutput::errorText(fixture("zfs/zfs-snapshot-r-missing.stderr"), QByteArray()),
              "cannot open 'tank/nope': dataset does not exist")
        << "what a terminal showed is read the same way";
}

} // namespace
