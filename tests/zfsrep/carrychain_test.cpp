// What a send of carry "series" sends: the own snapshots after the newest
// one the target holds, each with -i from the one before; the key's values
// the validator takes.
#include "carrychain.h"
#include "retentionkeys.h"
#include "zfscommands.h"

#include <gtest/gtest.h>

namespace {

const QString kMark = QStringLiteral("0123456789abcdef0123456789abcdef:5");

// "name:guid:owner" pieces (owner "M" the mark, "-" none, else as given).
QList<OwnedSnapshot> source(const QString &text)
{
    QList<OwnedSnapshot> list;
    for (const QString &piece : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = piece.split(QLatin1Char(':'));
        OwnedSnapshot s;
        s.info.name = parts.at(0);
        s.info.guid = parts.at(1).toULongLong();
        s.owner = parts.at(2) == QLatin1String("M") ? kMark : parts.mid(2).join(QLatin1Char(':'));
        list.append(s);
    }
    return list;
}

QList<SnapshotInfo> target(std::initializer_list<quint64> guids)
{
    QList<SnapshotInfo> list;
    for (quint64 guid : guids) {
        SnapshotInfo s;
        s.guid = guid;
        s.name = QStringLiteral("any");
        list.append(s);
    }
    return list;
}

TEST(CarryChain, OwnSnapshotsAfterTheTargetsNewestOnly)
{
    const QList<OwnedSnapshot> listed = source(
        "d_20240301000000:1:M hourly:2:- d_20240302000000:3:abc:9 d_20240303000000:4:- leftover_x:5:- "
        "d_20240304000000:6:M");
    EXPECT_EQ(CarryChain::steps(listed, target({1}), "d", kMark),
              (QStringList{"d_20240303000000", "d_20240304000000"}));
    EXPECT_EQ(CarryChain::steps(listed, target({1, 4}), "d", kMark), QStringList{"d_20240304000000"});
    EXPECT_TRUE(CarryChain::steps(listed, target({6}), "d", kMark).isEmpty()) << "the target is up to date";
    EXPECT_TRUE(CarryChain::steps(listed, target({}), "d", kMark).isEmpty()) << "a full stream comes first";
    EXPECT_TRUE(CarryChain::steps(listed, target({99}), "d", kMark).isEmpty()) << "nothing in common";
}

TEST(CarryChain, SeriesOnlyWhenAskedFor)
{
    EXPECT_TRUE(CarryChain::isSeries(QStringLiteral("series")));
    EXPECT_TRUE(CarryChain::isSeries(QStringLiteral(" series ")));
    for (const char *other : {"", "all", "Series", "x"})
        EXPECT_FALSE(CarryChain::isSeries(QString::fromLatin1(other))) << other;
}

TEST(CarryChain, SingleStepStreamsUseDashI)
{
    ZfsCommands::SendSpec spec;
    spec.raw = true;
    spec.snapshot = QStringLiteral("tank/data@b");
    spec.base = QStringLiteral("tank/data@a");
    EXPECT_EQ(ZfsCommands::sendArgs(spec).join(' '), QStringLiteral("send -w -R -I tank/data@a tank/data@b"));
    spec.intermediates = false;
    EXPECT_EQ(ZfsCommands::sendArgs(spec).join(' '), QStringLiteral("send -w -R -i tank/data@a tank/data@b"));
    EXPECT_EQ(ZfsCommands::sendSizeArgs(spec).join(' '), QStringLiteral("send -nvP -w -R -i tank/data@a tank/data@b"));
}

TEST(CarryChain, ValidatorTakesAllOrSeries)
{
    for (const char *good : {"", "all", "series"})
        EXPECT_EQ(RetentionKeys::problem(QJsonObject{{"carry", good}}), QString()) << good;
    EXPECT_EQ(RetentionKeys::problem(QJsonObject{{"carry", QJsonValue()}}), QString());
    EXPECT_EQ(RetentionKeys::problem(QJsonObject{{"carry", "some"}}), QStringLiteral("参数无效: carry: \"some\" (all or series)"));
    EXPECT_EQ(RetentionKeys::problem(QJsonObject{{"carry", 1}}), QStringLiteral("参数无效: carry: \"?\" (all or series)"));
}

} // namespace
