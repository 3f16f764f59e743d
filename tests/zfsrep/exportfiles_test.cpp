// The pure parts of export and restore: the compression tool and its
// settings, the published percentage, the names of partial files, the
// durable rename, and the export pipelines run against stand-in tools.
#include "compressor.h"
#include "durablefile.h"
#include "exportleftovers.h"
#include "exclusivefile.h"
#include "exportprogress.h"
#include "transfercommands.h"
#include "trustedfile.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>

namespace {

// ---- settings ----

struct SettingsRow {
    const char *name;
    const char *config; // JSON text
    int level;
    int threads;
};

class CompressorSettings : public ::testing::TestWithParam<SettingsRow>
{
};

TEST_P(CompressorSettings, ReadsOrKeepsTheDefault)
{
    const SettingsRow &row = GetParam();
    const QJsonObject config = QJsonDocument::fromJson(row.config).object();
    const Compressor::Settings settings = Compressor::settingsFrom(config);
    EXPECT_EQ(settings.level, row.level);
    EXPECT_EQ(settings.threads, row.threads);
}

const SettingsRow kSettingsRows[] = {
    {"NoKeys", "{}", 6, 0},
    {"Numbers", R"({"compresslevel": 1, "compressthreads": 4})", 1, 4},
    {"Text", R"({"compresslevel": " 9 ", "compressthreads": "2"})", 9, 2},
    {"LevelZeroRefused", R"({"compresslevel": 0})", 6, 0},
    {"LevelTenRefused", R"({"compresslevel": 10})", 6, 0},
    {"NegativeLevelRefused", R"({"compresslevel": -3})", 6, 0},
    {"FractionRefused", R"({"compresslevel": 4.5})", 6, 0},
    {"WordRefused", R"({"compresslevel": "fast", "compressthreads": "many"})", 6, 0},
    {"HexTextRefused", R"({"compresslevel": "0x3"})", 6, 0},
    {"BoolRefused", R"({"compresslevel": true, "compressthreads": true})", 6, 0},
    {"ZeroThreadsMeansAllCores", R"({"compressthreads": 0})", 6, 0},
    {"NegativeThreadsRefused", R"({"compressthreads": -1})", 6, 0},
    {"HugeThreadsRefused", R"({"compressthreads": 100000})", 6, 0},
    {"MostThreads", R"({"compressthreads": 1024})", 6, 1024},
};
INSTANTIATE_TEST_SUITE_P(Rows, CompressorSettings, ::testing::ValuesIn(kSettingsRows),
                         [](const ::testing::TestParamInfo<SettingsRow> &info) { return std::string(info.param.name); });

// ---- tool and stage texts ----

struct ToolRow {
    const char *name;
    int level;
    int threads;
    bool pigz;
    int cores;
    const char *compress;
    const char *decompress;
    const char *test;
};

class CompressorStages : public ::testing::TestWithParam<ToolRow>
{
};

TEST_P(CompressorStages, PicksTheToolAndItsArguments)
{
    const ToolRow &row = GetParam();
    Compressor::Settings settings;
    settings.level = row.level;
    settings.threads = row.threads;
    const Compressor::Tool tool = Compressor::choose(settings, row.pigz, row.cores);
    EXPECT_EQ(Compressor::compressStage(tool), row.compress);
    EXPECT_EQ(Compressor::decompressStage(tool), row.decompress);
    EXPECT_EQ(Compressor::testStage(tool), row.test);
}

const ToolRow kToolRows[] = {
    {"PigzAllCores", 6, 0, true, 8, "pigz -6 -p 8", "pigz -dc", "pigz -t"},
    {"PigzConfiguredThreads", 1, 3, true, 8, "pigz -1 -p 3", "pigz -dc", "pigz -t"},
    {"PigzUnknownCoreCount", 6, 0, true, -1, "pigz -6 -p 1", "pigz -dc", "pigz -t"},
    {"GzipWithoutPigz", 6, 4, false, 8, "gzip -6", "gzip -dc", "gzip -t"},
    {"GzipKeepsTheLevel", 9, 0, false, 2, "gzip -9", "gzip -dc", "gzip -t"},
};
INSTANTIATE_TEST_SUITE_P(Rows, CompressorStages, ::testing::ValuesIn(kToolRows),
                         [](const ::testing::TestParamInfo<ToolRow> &info) { return std::string(info.param.name); });

// ---- published percentage ----

struct RateRow {
    const char *name;
    bool check; // the read-back phase, else the stream
    int percent;
    int rate;
};

class ExportRate : public ::testing::TestWithParam<RateRow>
{
};

TEST_P(ExportRate, MapsThePhaseOntoTheWholeRun)
{
    const RateRow &row = GetParam();
    EXPECT_EQ(row.check ? ExportProgress::checkRate(row.percent) : ExportProgress::streamRate(row.percent), row.rate);
}

const RateRow kRateRows[] = {
    {"StreamStart", false, 0, 0},         {"StreamHalf", false, 50, 45},
    {"StreamEnd", false, 100, 90},        {"StreamOverEstimate", false, 140, 90},
    {"StreamNegative", false, -5, 0},     {"CheckStart", true, 0, 90},
    {"CheckHalf", true, 50, 95},          {"CheckEndIsNotDone", true, 100, 99},
    {"CheckOverEstimate", true, 250, 99},
};
INSTANTIATE_TEST_SUITE_P(Rows, ExportRate, ::testing::ValuesIn(kRateRows),
                         [](const ::testing::TestParamInfo<RateRow> &info) { return std::string(info.param.name); });

TEST(ExportRate, NeverFallsAndNeverReachesDoneBeforeTheRename)
{
    int last = 0;
    for (int phase = 0; phase < 2; ++phase) {
        for (int percent = 0; percent <= 120; ++percent) {
            const int rate = phase ? ExportProgress::checkRate(percent) : ExportProgress::streamRate(percent);
            EXPECT_GE(rate, last) << "phase " << phase << " at " << percent;
            EXPECT_LT(rate, 100);
            last = rate;
        }
    }
}

// ---- partial files ----

struct LeftoverRow {
    const char *name;
    const char *fileName;
    bool leftover;
};

class LeftoverNames : public ::testing::TestWithParam<LeftoverRow>
{
};

TEST_P(LeftoverNames, OnlyTheNamesAnExportWrites)
{
    const LeftoverRow &row = GetParam();
    EXPECT_EQ(ExportLeftovers::isLeftover(row.fileName, "trip@"), row.leftover);
}

const LeftoverRow kLeftoverRows[] = {
    {"PartialExport", "trip@ZFSREP_20240304101520.gz.zsa.part", true},
    {"PartialWithSpaces", "trip@my series_1.gz.zsa.part", true},
    {"FinishedExport", "trip@ZFSREP_20240304101520.gz.zsa", false},
    {"OtherDataset", "trips@ZFSREP_1.gz.zsa.part", false},
    {"DatasetSuffix", "xtrip@ZFSREP_1.gz.zsa.part", false},
    {"NoSnapshotName", "trip@.gz.zsa.part", false},
    {"OtherPart", "trip@ZFSREP_1.tar.part", false},
    {"PlainPart", "trip@ZFSREP_1.part", false},
    {"Empty", "", false},
};
INSTANTIATE_TEST_SUITE_P(Rows, LeftoverNames, ::testing::ValuesIn(kLeftoverRows),
                         [](const ::testing::TestParamInfo<LeftoverRow> &info) { return std::string(info.param.name); });

TEST(ExportLeftovers, PlaceFollowsTheExportFileLayout)
{
    const ExportLeftovers::Place place = ExportLeftovers::placeOf("/x/exports", "tank/a:b/c:d");
    EXPECT_EQ(place.directory, "/x/exports/tank/ab");
    EXPECT_EQ(place.prefix, "cd@");
    EXPECT_EQ(ExportLeftovers::placeOf("/x", "tank/").prefix, "@");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

TEST(ExportLeftovers, RemovesOnlyPartialExportsOfTheDataset)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString tank = dir.filePath("tank");
    ASSERT_TRUE(QDir().mkpath(tank + "/trip@dir.gz.zsa.part"));
    const QStringList files{"trip@a_1.gz.zsa.part", "trip@b_2.gz.zsa.part", "trip@a_1.gz.zsa", "trips@a_1.gz.zsa.part",
                            "notes.part"};
    for (const QString &name : files)
        ASSERT_TRUE(writeFile(tank + "/" + name, "x"));
    ASSERT_TRUE(writeFile(dir.filePath("outside.gz.zsa.part"), "keep"));
    ASSERT_TRUE(QFile::link(dir.filePath("outside.gz.zsa.part"), tank + "/trip@link.gz.zsa.part"));

    const QStringList removed = ExportLeftovers::remove(ExportLeftovers::placeOf(dir.path(), "tank/trip"));
    EXPECT_EQ(removed.size(), 2);
    QStringList left = QDir(tank).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    left.sort();
    EXPECT_EQ(left, (QStringList{"notes.part", "trip@a_1.gz.zsa", "trip@dir.gz.zsa.part", "trip@link.gz.zsa.part",
                                 "trips@a_1.gz.zsa.part"}));
    EXPECT_TRUE(QFile::exists(dir.filePath("outside.gz.zsa.part")));
    EXPECT_TRUE(ExportLeftovers::remove(ExportLeftovers::placeOf(dir.path(), "tank/none")).isEmpty());
    EXPECT_TRUE(ExportLeftovers::remove(ExportLeftovers::placeOf(dir.filePath("missing"), "tank/trip")).isEmpty());

    // A directory other users can write: the name may be theirs.
    ASSERT_TRUE(writeFile(tank + "/trip@c_3.gz.zsa.part", "x"));
    ASSERT_TRUE(QFile::setPermissions(tank, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::WriteOther | QFileDevice::ExeOther));
    EXPECT_TRUE(ExportLeftovers::remove(ExportLeftovers::placeOf(dir.path(), "tank/trip")).isEmpty());
    EXPECT_TRUE(QFile::exists(tank + "/trip@c_3.gz.zsa.part"));
}

// ---- durable rename ----

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

TEST(DurableFile, PublishRenamesOverTheTarget)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath("t@s.gz.zsa");
    ASSERT_TRUE(writeFile(target, "old"));
    ASSERT_TRUE(writeFile(target + ".part", "new"));
    QString error;
    ASSERT_TRUE(DurableFile::publish(target + ".part", target, error)) << error.toStdString();
    EXPECT_EQ(readFile(target), "new");
    EXPECT_FALSE(QFile::exists(target + ".part"));
}

TEST(DurableFile, FailuresNameThePathAndTheCause)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString target = dir.filePath("t@s.gz.zsa");
    QString error;
    EXPECT_FALSE(DurableFile::publish(target + ".part", target, error));
    EXPECT_TRUE(error.contains(target + ".part")) << error.toStdString();
    EXPECT_TRUE(error.contains("No such file")) << error.toStdString();
    EXPECT_FALSE(QFile::exists(target));

    error.clear();
    EXPECT_FALSE(DurableFile::syncDirectory(dir.filePath("none"), error));
    EXPECT_TRUE(error.contains(dir.filePath("none"))) << error.toStdString();
    ASSERT_TRUE(writeFile(target, "x"));
    EXPECT_FALSE(DurableFile::syncDirectory(target, error)) << "a file is no directory";
    EXPECT_TRUE(DurableFile::syncFile(target, error)) << error.toStdString();
}

TEST(DurableFile, DirectoriesUpToTheExportDirectory)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString nested = dir.filePath("exports/tank/a/b");
    ASSERT_TRUE(QDir().mkpath(nested));
    QString error;
    EXPECT_TRUE(DurableFile::syncDirectories(nested, dir.filePath("exports"), error)) << error.toStdString();
    EXPECT_TRUE(DurableFile::syncDirectories(nested, "/elsewhere", error)) << "only the file's own directory";
    EXPECT_TRUE(DurableFile::syncDirectories(nested, nested, error));
    EXPECT_FALSE(DurableFile::syncDirectories(nested + "/gone", dir.filePath("exports"), error));
    EXPECT_TRUE(error.contains(nested + "/gone")) << error.toStdString();
}

// ---- the pipelines, run against stand-in zfs and pv and the real gzip ----

const QString kHostile = QStringLiteral("we'ird \"$(touch /tmp/zfsrep-pwned)\";`id` x");

// Runs `pipeline` as a stage runs it, with zfs and pv replaced by functions:
// `zfs send -R SNAP` prints "stream of SNAP", `zfs recv -Fu T` writes what
// it reads and its arguments into files of `dir`, pv copies. Returns the
// status.
int runStage(const QString &pipeline, const QString &dir)
{
    const QString stubs = QStringLiteral("zfs(){ if [ \"$1\" = send ]; then printf 'stream of %s' \"$3\"; "
                                         "else cat > '") + dir + "/received'; printf '%s' \"$*\" > '" + dir
                          + "/recvargs'; fi; }; pv(){ cat; }; ";
    QProcess bash;
    bash.start("/bin/bash", {"-c", stubs + TransferCommands::stageShellCommand(pipeline)});
    bash.waitForFinished(20000);
    return bash.exitStatus() == QProcess::NormalExit ? bash.exitCode() : -1;
}

// Runs the export pipeline into `file`, created the way the service creates
// it and lent to the stage as a descriptor.
int runExport(const QString &snapshot, const Compressor::Tool &tool, const QString &file, const QString &dir)
{
    ExclusiveFile part;
    QString error;
    if (!part.create(file, 0600, false, error) || !part.setInheritable(true)) {
        ADD_FAILURE() << error.toStdString();
        return -1;
    }
    return runStage(TransferCommands::exportToDescriptor(snapshot, 10, Compressor::compressStage(tool), part.descriptor()),
                    dir);
}

TEST(ExportPipelines, RoundTripThroughTheRealCompressorWithHostileNames)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile::remove("/tmp/zfsrep-pwned");
    Compressor::Settings settings;
    settings.level = 1;
    const Compressor::Tool gzip = Compressor::choose(settings, false, 2);
    const QString snapshot = "tank/" + kHostile + "@s";
    const QString file = dir.filePath("-out " + QString(kHostile).remove('/') + ".gz.zsa.part");

    ASSERT_EQ(runExport(snapshot, gzip, file, dir.path()), 0);
    QProcess plain; // any reader of gzip files reads it
    plain.start("gzip", {"-dc", "--", file});
    ASSERT_TRUE(plain.waitForFinished(10000));
    EXPECT_EQ(plain.readAllStandardOutput(), "stream of " + snapshot.toUtf8());

    EXPECT_EQ(runStage(TransferCommands::checkFile(file, 10, Compressor::testStage(gzip)), dir.path()), 0);
    const QString target = "tank/" + kHostile;
    ASSERT_EQ(runStage(TransferCommands::restoreFromFileWith(file, 10, Compressor::decompressStage(gzip), target),
                       dir.path()), 0);
    EXPECT_EQ(readFile(dir.filePath("received")), "stream of " + snapshot.toUtf8());
    EXPECT_EQ(readFile(dir.filePath("recvargs")),
              "recv -Fu -x mountpoint -x sharenfs -x sharesmb -o setuid=off -o devices=off " + target.toUtf8());
    EXPECT_FALSE(QFile::exists("/tmp/zfsrep-pwned"));
}

TEST(ExportPipelines, RestoreReadsTheCheckedDescriptorNotTheName)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    Compressor::Settings settings;
    settings.level = 1;
    const Compressor::Tool gzip = Compressor::choose(settings, false, 2);
    const QString file = dir.filePath("d@s.gz.zsa");
    ASSERT_EQ(runExport("tank/d@s", gzip, file, dir.path()), 0);

    TrustedFile source;
    QString error;
    ASSERT_TRUE(source.open(file, "restore file", error)) << error.toStdString();
    // The name now leads to other bytes: the stage still reads the file
    // that was opened and checked.
    ASSERT_TRUE(QFile::rename(file, file + ".old"));
    QFile planted(file);
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.write("not a gzip stream");
    planted.close();
    const QString target = "tank/" + kHostile;
    const QString pipeline =
        TransferCommands::restoreFromDescriptor(source.descriptor(), source.size(), Compressor::decompressStage(gzip), target);
    EXPECT_FALSE(pipeline.contains(file));
    ASSERT_TRUE(source.setInheritable(true));
    const int status = runStage(pipeline, dir.path());
    source.setInheritable(false);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(readFile(dir.filePath("received")), "stream of tank/d@s");
    // A second reader starts at the beginning again.
    ASSERT_TRUE(source.rewind());
    ASSERT_TRUE(source.setInheritable(true));
    QFile::remove(dir.filePath("received"));
    EXPECT_EQ(runStage(pipeline, dir.path()), 0);
    EXPECT_EQ(readFile(dir.filePath("received")), "stream of tank/d@s");
}

TEST(ExportPipelines, CheckFailsOnADamagedFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const Compressor::Tool gzip = Compressor::choose(Compressor::Settings(), false, 2);
    const QString file = dir.filePath("d@s.gz.zsa.part");
    ASSERT_EQ(runExport("tank/d@s", gzip, file, dir.path()), 0);
    QByteArray bytes = readFile(file);
    ASSERT_GT(bytes.size(), 20);
    struct Damage {
        const char *name;
        QByteArray bytes;
    } damages[] = {
        {"flipped CRC byte", QByteArray(bytes).replace(bytes.size() - 6, 1, QByteArray(1, char(bytes.at(bytes.size() - 6) ^ 0x55)))},
        {"cut short", bytes.left(bytes.size() - 4)},
        {"not gzip", QByteArray("plain text")},
        {"empty", QByteArray()},
    };
    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.name);
        ASSERT_TRUE(writeFile(file, damage.bytes));
        EXPECT_NE(runStage(TransferCommands::checkFile(file, 10, Compressor::testStage(gzip)), dir.path()), 0);
    }
    ASSERT_TRUE(writeFile(file, bytes));
    EXPECT_EQ(runStage(TransferCommands::checkFile(file, 10, Compressor::testStage(gzip)), dir.path()), 0);
}

} // namespace
