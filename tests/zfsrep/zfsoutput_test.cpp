#include "fixtures.h"
#include "zfsoutput.h"

#include <gtest/gtest.h>

#include <QJsonDocument>

#include <limits>

namespace {

QByteArray compact(const QByteArray &pretty)
{
    return QJsonDocument::fromJson(pretty).toJson(QJsonDocument::Compact);
}

TEST(PoolMap, RecordedListingsGiveNestedItems)
{
    const QJsonObject map =
        ZfsOutput::poolMap(fixture("zfs/zfs-list-r-pj.stdout"), fixture("zfs/zpool-list-pjo-name-size-free.stdout"));
    ASSERT_EQ(map.keys(), QStringList{"tank"});
    const QJsonObject tank = map.value("tank").toObject();
    EXPECT_EQ(tank.value("name").toString(), "tank");
    EXPECT_EQ(tank.value("size").toInt(), 10176);  // 10670309376 / 2^20
    EXPECT_EQ(tank.value("free").toInt(), 10175);  // 10669834240 / 2^20
    const QJsonObject items = tank.value("items").toObject();
    ASSERT_EQ(items.keys(), (QStringList{"data", "data/sub"}));
    const QJsonObject data = items.value("data").toObject();
    EXPECT_EQ(data.value("path").toString(), "tank/data");
    EXPECT_EQ(data.value("type").toInt(), 1);
    EXPECT_EQ(data.value("used").toDouble(), 1245184);            // bytes
    EXPECT_EQ(data.value("available").toInt(), 9830);             // MiB
    EXPECT_EQ(data.value("mountpoint").toString(), "/srv");
    EXPECT_EQ(items.value("data/sub").toObject().value("mountpoint").toString(), "/srv/sub");
}

QByteArray datasets(const QList<QPair<QString, QJsonObject>> &entries)
{
    QJsonObject all;
    for (const auto &e : entries)
        all.insert(e.first, e.second);
    return QJsonDocument(QJsonObject{{"datasets", all}}).toJson(QJsonDocument::Compact);
}

QJsonObject dataset(const char *type, const char *mountpoint, qint64 used = 1048576, qint64 avail = 1048576)
{
    auto prop = [](const QJsonValue &v) { return QJsonObject{{"value", v}}; };
    return QJsonObject{{"type", type},
                       {"properties", QJsonObject{{"used", prop(QString::number(used))},
                                                  {"available", prop(QString::number(avail))},
                                                  {"mountpoint", prop(mountpoint)}}}};
}

QByteArray pools(const QStringList &names)
{
    QJsonObject all;
    for (const QString &name : names)
        all.insert(name, QJsonObject{{"properties", QJsonObject{{"size", QJsonObject{{"value", "2147483648"}}},
                                                                {"free", QJsonObject{{"value", "1073741824"}}}}}});
    return QJsonDocument(QJsonObject{{"pools", all}}).toJson(QJsonDocument::Compact);
}

TEST(PoolMap, EdgeCases)
{
    const QByteArray listing = datasets({
        {"tank", dataset("FILESYSTEM", "/tank")},
        {"tank/vol", dataset("VOLUME", "-")},
        {"tank/empty", dataset("FILESYSTEM", "")},
        {"tank/old", dataset("FILESYSTEM", "legacy")},
        {"tank/odd", dataset("BOOKMARK", "/x")},
        {"tank2/other", dataset("FILESYSTEM", "/tank2/other")},
    });
    const QJsonObject map = ZfsOutput::poolMap(listing, pools({"tank", "tank2", "bare"}));
    const QJsonObject items = map.value("tank").toObject().value("items").toObject();
    EXPECT_EQ(items.keys(), (QStringList{"empty", "odd", "old", "vol"})) << "root is no item; tank2 stays out";
    EXPECT_FALSE(items.value("vol").toObject().contains("mountpoint"));
    EXPECT_EQ(items.value("vol").toObject().value("type").toInt(), 2);
    EXPECT_FALSE(items.value("empty").toObject().contains("mountpoint"));
    EXPECT_EQ(items.value("old").toObject().value("mountpoint").toString(), "legacy");
    EXPECT_EQ(items.value("odd").toObject().value("type").toInt(), 0);
    EXPECT_EQ(items.value("old").toObject().value("used").toDouble(),
              items.value("old").toObject().value("available").toDouble() * 1048576);
    const QJsonObject bare = map.value("bare").toObject();
    EXPECT_EQ(bare, (QJsonObject{{"name", "bare"}, {"size", 2048}, {"free", 1024}}));
    EXPECT_EQ(map.value("tank2").toObject().value("items").toObject().keys(), QStringList{"other"});
}

TEST(PoolMap, GarbageYieldsEmptyMap)
{
    EXPECT_TRUE(ZfsOutput::poolMap("not json", "{").isEmpty());
    // A man-page sample without -p: sizes are not numbers and read as 0.
    const QJsonObject map = ZfsOutput::poolMap(compact(fixture("zfs/zfs-list-j-t-filesystem-snapshot.jq.json")),
                                               compact(fixture("zfs/zpool-list-j.jq.json")));
    EXPECT_EQ(map.value("tank").toObject().value("size").toInt(-1), 0);
}

TEST(SnapshotRecords, SumsUsedAndReferenced)
{
    const QJsonArray records = ZfsOutput::snapshotRecords(fixture("zfs/zfs-list-snap-Hpj.stdout"));
    ASSERT_EQ(records.size(), 2);
    const QJsonObject a = records.at(0).toObject();
    EXPECT_EQ(a.value("name").toString(), "tank/data@a");
    EXPECT_EQ(a.value("used").toDouble(), 12288 + 98304);
    EXPECT_EQ(a.value("pool").toString(), "tank");
    EXPECT_EQ(a.value("dataset").toString(), "tank/data");
    EXPECT_EQ(a.value("snapshot").toString(), "a");
    // --json-int values are numbers, read the same way.
    EXPECT_EQ(ZfsOutput::snapshotRecords(fixture("zfs/zfs-list-snap-json-int.stdout")), records);
    EXPECT_TRUE(ZfsOutput::snapshotRecords(fixture("zfs/zfs-list-empty-j.stdout")).isEmpty());
}

TEST(SnapshotRecords, HugeSizesAreHeldAtTheLimits)
{
    const double max = double(std::numeric_limits<qint64>::max());
    const double min = double(std::numeric_limits<qint64>::min());
    const struct {
        const char *name;
        const char *used;
        const char *referenced;
        double expected;
    } rows[] = {
        {"ordinary sizes add up", R"("12288")", R"("98304")", 12288 + 98304},
        {"two maxima", R"("9223372036854775807")", R"("9223372036854775807")", max},
        {"maximum plus one", R"("9223372036854775807")", R"("1")", max},
        {"large numbers", "9.3e18", "9e18", max},
        {"two minima", R"("-9223372036854775808")", R"("-9223372036854775808")", min},
        {"minimum minus one", R"("-9223372036854775808")", R"("-1")", min},
        {"maximum plus minimum", R"("9223372036854775807")", R"("-9223372036854775808")", -1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QByteArray json = QByteArray(R"({"datasets":{"tank/data@a":{"pool":"tank","properties":{"used":{"value":)")
                                + row.used + R"(},"referenced":{"value":)" + row.referenced + "}}}}}";
        const QJsonArray records = ZfsOutput::snapshotRecords(json);
        ASSERT_EQ(records.size(), 1);
        EXPECT_EQ(records.at(0).toObject().value("used").toDouble(), row.expected);
    }
}

TEST(SendSize, FirstSizeLineDecides)
{
    const struct {
        const char *name;
        QByteArray output;
        qint64 expected;
    } cases[] = {
        {"full", fixture("zfs/zfs-send-nvP-full.stdout"), 1127224},
        {"replication incremental", fixture("zfs/zfs-send-nvP-R-I.stdout"), 1077728},
        {"replication", fixture("zfs/zfs-send-nvP-R.stdout"), ZfsOutput::sendSize(fixture("zfs/zfs-send-nvP-R.stdout"))},
        {"full line then size", "full\ttank/data@a\t1000\nsize\t1000\n", 1000},
        {"no size line", "full\ttank/data@a\t1000\n", 0},
        {"size not a number", "size\tlots\nsize\t5\n", 0},
        {"size needs two fields", "size\nsize 7\n", 7},
        {"huge", "size\t98765432109876\n", 98765432109876LL},
        {"empty", "", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ZfsOutput::sendSize(c.output), c.expected);
    }
    EXPECT_GT(ZfsOutput::sendSize(fixture("zfs/zfs-send-nvP-R.stdout")), 0);
}

TEST(Holds, SnapshotAndTagPerLine)
{
    const auto holds = ZfsOutput::holds(fixture("zfs/zfs-holds-H.stdout"));
    ASSERT_EQ(holds.size(), 2);
    EXPECT_EQ(holds.at(0), qMakePair(QString("tank/data@b"), QString("keep")));
    EXPECT_EQ(holds.at(1).second, "replica");
    EXPECT_TRUE(ZfsOutput::holds("lonely\n\n").isEmpty());
}

TEST(RemotePools, ThreeFieldsPerLine)
{
    const QJsonObject pools = ZfsOutput::remotePools(fixture("zfs/zpool-list-Hpo-name-size-free.stdout") +
                                                     "short\t1\nbig\t5497558138880\t1099511627776\n");
    EXPECT_EQ(pools.keys(), (QStringList{"big", "tank"}));
    EXPECT_EQ(pools.value("tank").toObject(),
              (QJsonObject{{"name", "tank"}, {"size", 10176}, {"free", 10175}}));
    EXPECT_EQ(pools.value("big").toObject().value("size").toInt(), 5242880);
}

TEST(SnapshotNames, TrimmedLinesInOrder)
{
    EXPECT_EQ(ZfsOutput::snapshotNames(fixture("zfs/zfs-list-snap-H-o-name.stdout")),
              (QStringList{"tank/data@a", "tank/data@b"}));
    EXPECT_EQ(ZfsOutput::snapshotNames("  x@1 \r\n\ny@2"), (QStringList{"x@1", "y@2"}));
}

TEST(SnapshotTree, FirstLevelDatasetsOnly)
{
    const QByteArray snapshots = "tank/a@s1\ntank/a/b@s2\nbackup/x@s3\ntank/ab@s4\n";
    const QByteArray datasets = "tank\t/tank\ntank/a\t/tank/a\ntank/a/b\t/tank/a/b\n"
                                "backup\tlegacy\nbackup/x\t/backup/x\nlone\t/lone\ntank/ab\tlegacy\n";
    const QJsonObject tree = ZfsOutput::snapshotTree(snapshots, datasets);
    EXPECT_EQ(tree.value("tank").toObject(), (QJsonObject{{"a", QJsonArray{"tank/a@s1"}}}));
    EXPECT_EQ(tree.value("lone").toObject(), QJsonObject());
    EXPECT_TRUE(tree.contains("lone"));
    // A pool root mounted at "legacy" is left out, its children still count.
    EXPECT_EQ(tree.value("backup").toObject(), (QJsonObject{{"x", QJsonArray{"backup/x@s3"}}}));
}

TEST(Decode, StopsAtNulAndSplitsFields)
{
    EXPECT_EQ(ZfsOutput::decode(QByteArray("ab\0cd", 5)), "ab");
    EXPECT_EQ(ZfsOutput::fields(" a\t\tb  c "), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(ZfsOutput::lines(QByteArray("x\n\n y\n")), (QStringList{"x", " y"}));
}

} // namespace
