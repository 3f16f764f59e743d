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

// Pairs of recorded listings of the same pool state, one in the JSON form and
// one in the tab-separated form of the same columns (as OpenZFS 2.1 and 2.2
// answer): both must give the same answers.
TEST(ListingForms, TextAndJsonOfTheSameStateGiveTheSameAnswers)
{
    const QStringList datasetColumns{"name", "type", "used", "available", "mountpoint"};
    const QStringList poolColumns{"name", "size", "free"};
    const QStringList snapshotColumns{"name", "used", "referenced"};
    const struct {
        const char *name;
        const char *datasetsJson, *datasetsText, *poolsJson, *poolsText;
    } pairs[] = {
        {"constructed", "zfs/zfs-list-r-pj.stdout", "zfs/zfs-list-r-Hp-o-name-type-used-available-mountpoint.stdout",
         "zfs/zpool-list-pjo-name-size-free.stdout", "zfs/zpool-list-Hpo-name-size-free.stdout"},
        {"names with spaces, two pools", "zfs/zfs-list-pj-spaces.stdout", "zfs/zfs-list-Hp-spaces.stdout",
         "zfs/zpool-list-pjo-two-pools.stdout", "zfs/zpool-list-Hp-two-pools.stdout"},
        {"no pools", "zfs/zfs-list-pj-no-pools.stdout", "zfs/zfs-list-Hp-no-pools.stdout",
         "zfs/zpool-list-pjo-no-pools.stdout", "zfs/zpool-list-Hp-no-pools.stdout"},
    };
    for (const auto &pair : pairs) {
        SCOPED_TRACE(pair.name);
        const QJsonObject fromJson = ZfsOutput::poolMap(fixture(pair.datasetsJson), fixture(pair.poolsJson));
        const QJsonObject fromText =
            ZfsOutput::poolMap(ZfsOutput::textListing(fixture(pair.datasetsText), datasetColumns),
                               ZfsOutput::textListing(fixture(pair.poolsText), poolColumns));
        EXPECT_EQ(QJsonDocument(fromText).toJson(), QJsonDocument(fromJson).toJson());
    }
    const struct {
        const char *name;
        const char *json, *text;
    } snapshotPairs[] = {
        {"constructed", "zfs/zfs-list-snap-Hpj.stdout", "zfs/zfs-list-snap-Hp-o-name-used-referenced.stdout"},
        {"names with spaces", "zfs/zfs-list-snap-Hpj-spaces.stdout", "zfs/zfs-list-snap-Hp-spaces.stdout"},
        {"huge sizes", "zfs/zfs-list-snap-Hpj-huge.stdout", "zfs/zfs-list-snap-Hp-huge.stdout"},
        {"no snapshots", "zfs/zfs-list-empty-j.stdout", "zfs/zfs-list-snap-Hp-empty.stdout"},
    };
    for (const auto &pair : snapshotPairs) {
        SCOPED_TRACE(pair.name);
        EXPECT_EQ(ZfsOutput::snapshotRecords(ZfsOutput::textListing(fixture(pair.text), snapshotColumns)),
                  ZfsOutput::snapshotRecords(fixture(pair.json)));
    }
}

TEST(ListingForms, TextLinesAreSplitAtTabsOnly)
{
    const QStringList columns{"name", "type", "used", "available", "mountpoint"};
    const struct {
        const char *name;
        QByteArray text;
        QJsonObject expected; // the one entry, {} when the line is skipped
    } rows[] = {
        {"plain file system", "tank/data\tfilesystem\t1245184\t1000\t/tank/data\n",
         QJsonObject{{"name", "tank/data"}, {"type", "FILESYSTEM"}, {"pool", "tank"},
                     {"properties", QJsonObject{{"used", QJsonObject{{"value", "1245184"}}},
                                                {"available", QJsonObject{{"value", "1000"}}},
                                                {"mountpoint", QJsonObject{{"value", "/tank/data"}}}}}}},
        {"spaces stay in name and mount point", "tank/a b\tfilesystem\t1\t2\t/mnt/a b  \n",
         QJsonObject{{"name", "tank/a b"}, {"type", "FILESYSTEM"}, {"pool", "tank"},
                     {"properties", QJsonObject{{"used", QJsonObject{{"value", "1"}}},
                                                {"available", QJsonObject{{"value", "2"}}},
                                                {"mountpoint", QJsonObject{{"value", "/mnt/a b  "}}}}}}},
        {"a tab in the last value", "tank/t\tfilesystem\t1\t2\t/mnt/x\ty\n",
         QJsonObject{{"name", "tank/t"}, {"type", "FILESYSTEM"}, {"pool", "tank"},
                     {"properties", QJsonObject{{"used", QJsonObject{{"value", "1"}}},
                                                {"available", QJsonObject{{"value", "2"}}},
                                                {"mountpoint", QJsonObject{{"value", "/mnt/x\ty"}}}}}}},
        {"snapshot of a pool root", "tank@a\tsnapshot\t0\t-\t-\n",
         QJsonObject{{"name", "tank@a"}, {"type", "SNAPSHOT"}, {"pool", "tank"}, {"dataset", "tank"},
                     {"snapshot_name", "a"},
                     {"properties", QJsonObject{{"used", QJsonObject{{"value", "0"}}},
                                                {"available", QJsonObject{{"value", "-"}}},
                                                {"mountpoint", QJsonObject{{"value", "-"}}}}}}},
        {"volume", "tank/vol\tvolume\t5\t6\t-\n",
         QJsonObject{{"name", "tank/vol"}, {"type", "VOLUME"}, {"pool", "tank"},
                     {"properties", QJsonObject{{"used", QJsonObject{{"value", "5"}}},
                                                {"available", QJsonObject{{"value", "6"}}},
                                                {"mountpoint", QJsonObject{{"value", "-"}}}}}}},
        {"too few fields", "tank/short\tfilesystem\t1\t2\n", QJsonObject()},
        {"spaces instead of tabs", "tank/data filesystem 1 2 /tank/data\n", QJsonObject()},
        {"empty name", "\tfilesystem\t1\t2\t/x\n", QJsonObject()},
        {"empty output", "", QJsonObject()},
        {"a truncated last line", "tank/data\tfilesys", QJsonObject()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const QJsonObject entries = ZfsOutput::textListing(row.text, columns);
        if (row.expected.isEmpty()) {
            EXPECT_TRUE(entries.isEmpty()) << QJsonDocument(entries).toJson().constData();
            continue;
        }
        ASSERT_EQ(entries.size(), 1);
        EXPECT_EQ(entries.constBegin().value().toObject(), row.expected)
            << QJsonDocument(entries.constBegin().value().toObject()).toJson().constData();
    }
    // Without a type column, the type comes from the name.
    const QJsonObject snapshots = ZfsOutput::textListing("tank/d@s\t1\t2\ntank/d#b\t3\t4\ntank/d\t5\t6\n",
                                                         {"name", "used", "referenced"});
    EXPECT_EQ(snapshots.value("tank/d@s").toObject().value("type").toString(), "SNAPSHOT");
    EXPECT_EQ(snapshots.value("tank/d#b").toObject().value("type").toString(), "BOOKMARK");
    EXPECT_FALSE(snapshots.value("tank/d").toObject().contains("type"));
    EXPECT_TRUE(ZfsOutput::textListing("tank\t1\n", {}).isEmpty());
}

TEST(ListingForms, RefusalOfJsonIsRecognised)
{
    const struct {
        const char *name;
        int exitCode;
        QByteArray standardError;
        bool refused;
    } rows[] = {
        {"recorded refusal of zfs list -pj", 2, fixture("zfs/zfs-list-pj-2.2.stderr"), true},
        {"recorded refusal of zpool list -pjo", 2, fixture("zfs/zpool-list-pjo-2.2.stderr"), true},
        {"same text, other status", 1, fixture("zfs/zfs-list-pj-2.2.stderr"), false},
        {"another option refused", 2, "invalid option 'x'\nusage:\n", false},
        {"long option refused", 2, "invalid option '-'\nusage:\n", false},
        {"missing dataset", 1, "cannot open 'tank/x': dataset does not exist\n", false},
        {"usage error of another kind", 2, "missing argument\nusage:\n", false},
        {"nothing said", 2, "", false},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ZfsOutput::refusesJson(row.exitCode, row.standardError), row.refused);
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

TEST(RemoteListings, NamesWithSpacesStayWhole)
{
    const QByteArray snapshots = "backup/my data@s 1\nbackup/my@s2\nbackup/my data/sub@s3\n";
    const QByteArray datasets = "backup\t/srv/back up\nbackup/my data\t/srv/back up/my data\nbackup/my\t/srv/my\n"
                                "backup/my data/sub\t/srv/back up/my data/sub\n";
    const QJsonObject tree = ZfsOutput::snapshotTree(snapshots, datasets);
    EXPECT_EQ(tree, (QJsonObject{{"backup", QJsonObject{{"my data", QJsonArray{"backup/my data@s 1"}},
                                                         {"my", QJsonArray{"backup/my@s2"}}}}}));
    const QJsonObject pools = ZfsOutput::remotePools("my pool\t2147483648\t1073741824\n");
    EXPECT_EQ(pools, (QJsonObject{{"my pool", QJsonObject{{"name", "my pool"}, {"size", 2048}, {"free", 1024}}}}));
    EXPECT_EQ(ZfsOutput::holds("tank/a b@c d\tmy tag\tThu Dec  7 19:30 2023\n"),
              (QList<QPair<QString, QString>>{{"tank/a b@c d", "my tag"}}));
    // Without tabs (not a -H listing), white space separates.
    EXPECT_EQ(ZfsOutput::columns("a  b c"), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(ZfsOutput::columns("a b\t\tc "), (QStringList{"a b", "", "c "}));
}

TEST(Decode, StopsAtNulAndSplitsFields)
{
    EXPECT_EQ(ZfsOutput::decode(QByteArray("ab\0cd", 5)), "ab");
    EXPECT_EQ(ZfsOutput::fields(" a\t\tb  c "), (QStringList{"a", "b", "c"}));
    EXPECT_EQ(ZfsOutput::lines(QByteArray("x\n\n y\n")), (QStringList{"x", " y"}));
}

} // namespace
