#include "transferfixture.h"

#include "qmtarnlog.h"
#include "sshlogin.h"
#include "tbharness.h"
#include "tq2dbsqlite.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QThread>

#include <atomic>
#include <thread>

namespace {

// Every file system of the pool on one side except the pool's root and
// those kept: `zfs list -H -o name -r tank` prints one name a line, parents
// first.
QStringList children(const tb::Run &listing, const QString &pool, const QStringList &kept)
{
    QStringList result;
    for (const QString &name : QString::fromUtf8(listing.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (name != pool && !kept.contains(name))
            result.append(name);
    }
    return result;
}

// Brings the three machines back to the testbed's initial state: the fault
// knobs gone, only tank/data (without snapshots) locally, nothing under
// backup on either remote host.
void restoreTestbed()
{
    tb::clearFaults();
    MXZfsrep cleaner; // remove() releases holds before destroying
    TQ2Journals ignored;
    for (const QString &name : children(tb::localZfs({"list", "-H", "-o", "name", "-r", "tank"}), "tank", {"tank/data"}))
        if (tb::localExists(name))
            cleaner.localQueries().remove(ignored, name);
    for (const QString &snapshot : tb::localSnapshots("tank/data"))
        cleaner.localQueries().snapshotRemove(ignored, snapshot);
    for (const QString &root : {tb::remoteRoot(), tb::remote2Root()})
        for (const QString &name : children(tb::zfsAt(root, {"list", "-H", "-o", "name", "-r", "backup"}), "backup", {}))
            if (tb::existsAt(root, name))
                tb::zfsAt(root, {"destroy", "-r", name});
}

QStringList afterAt(const QStringList &snapshots)
{
    QStringList names;
    for (const QString &snapshot : snapshots)
        names.append(snapshot.mid(snapshot.indexOf(QLatin1Char('@')) + 1));
    return names;
}

} // namespace

const QDate TransferE2e::kDay(2024, 3, 4);

void TransferE2e::SetUp()
{
    TB_REQUIRE();
    restoreTestbed();
    const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
    scratch = tb::scratchDir(QString::fromLatin1(info->test_suite_name()) + QLatin1Char('.') + info->name());
    setNow(QTime(10, 15, 20));
    engine = std::make_unique<MXZfsrep>();
    drive = std::make_unique<MissionDriver>(*engine);
    engine->setDatabasePath(scratch + QStringLiteral("/zfsrep.db"));
    engine->events().open(scratch + QStringLiteral("/tarnlog.db"));
    engine->setClock([this] {
        std::lock_guard<std::mutex> lock(clockMutex);
        return clockNow;
    });
    engine->scheduler().setTickInterval(10);
    ASSERT_TRUE(engine->loadConfigure(journals, QJsonObject())) << journals.errmsg().toStdString();
    // As the service's start does: a known-hosts file ssh can record a new
    // host's key in (a run fails when the key it logged in with is not there).
    SshLogin::setKnownHostsFile(scratch + QStringLiteral("/zfsrep.known_hosts"));
    ASSERT_EQ(SshLogin::prepareKnownHostsFile(SshLogin::knownHostsFile()).toStdString(), "");
}

void TransferE2e::TearDown()
{
    // The engine's destruction cancels a running transfer and waits for the
    // scheduler thread to end.
    engine.reset();
    SshLogin::setKnownHostsFile(SshLogin::kDefaultKnownHostsFile);
    if (tb::inTestbed())
        restoreTestbed();
}

void TransferE2e::setNow(const QDateTime &moment)
{
    std::lock_guard<std::mutex> lock(clockMutex);
    clockNow = moment;
}

QJsonObject TransferE2e::mission(int action, const QJsonObject &overrides)
{
    QJsonObject result{{"caption", "E2E mission"},
                       {"action", action},
                       {"pool", "tank"},
                       {"name", "src"},
                       {"path", "backup"},
                       {"host", tb::host()},
                       {"port", QString::number(tb::port())},
                       {"userid", tb::user()},
                       {"passwd", tb::password()},
                       {"snapname", "ZFSREP"},
                       {"increment", 1},
                       {"erase", 0},
                       {"encrypt", 0},
                       {"encryptkey", 0},
                       {"schedules", QJsonArray()}};
    for (auto it = overrides.constBegin(); it != overrides.constEnd(); ++it)
        result.insert(it.key(), it.value());
    return result;
}

int TransferE2e::append(const QJsonObject &mission)
{
    TQ2Journals appended;
    if (!engine->appendMission(appended, mission)) {
        ADD_FAILURE() << "append failed: " << appended.errmsg().toStdString();
        return 0;
    }
    QJsonArray rows;
    engine->db().call(rows, "mission_detail", QJsonObject{{"caption", mission.value("caption")}});
    return rows.at(0).toObject().value("msnno").toInt();
}

QJsonObject TransferE2e::row(int msnno)
{
    QJsonArray rows;
    engine->db().call(rows, "mission_acquit", QJsonObject{{"msnno", msnno}});
    return rows.at(0).toObject();
}

QJsonArray TransferE2e::events()
{
    QJsonArray records;
    TQ2Journals listed;
    EXPECT_TRUE(engine->events().list(records));
    return records;
}

QByteArray TransferE2e::journalText(const TQ2Journals &journals)
{
    QJsonObject response;
    journals.toRetObject(response, true);
    return QJsonDocument(response).toJson(QJsonDocument::Compact);
}

bool TransferE2e::hasSegment(const TQ2Journals &journals, const QString &action, const QString &message)
{
    for (const QJsonValue &value : journals.segments()) {
        const QJsonObject segment = value.toObject();
        if (segment.value("action").toString().contains(action) && segment.value("msg").toString().contains(message))
            return true;
    }
    return false;
}

void TransferE2e::makeLocalDataset(const QString &name, quint32 seed)
{
    const QString dataset = "tank/" + name;
    ASSERT_TRUE(tb::localZfs({"create", dataset}).ok()) << dataset.toStdString();
    const QString dir = tb::localPath(dataset);
    tb::writeRandomFile(dir + "/random.bin", 700000, seed);
    tb::writeRandomFile(dir + "/docs/blob.dat", 90000, seed + 1);
}

void TransferE2e::makeRemoteDataset(const QString &name)
{
    const QString dataset = "backup/" + name;
    ASSERT_TRUE(tb::remoteZfs({"create", dataset}).ok()) << dataset.toStdString();
}

void TransferE2e::writeRemoteFile(const QString &dataset, const QString &file, qint64 size, quint32 seed)
{
    const QString dir = tb::remotePath(dataset);
    ASSERT_FALSE(dir.isEmpty()) << dataset.toStdString();
    tb::writeRandomFile(dir + "/" + file, size, seed);
    // The remote side runs as the test user and must be able to replace them.
    ASSERT_TRUE(tb::run("chown", {"-R", tb::user() + ":", dir}).ok());
}

QJsonObject TransferE2e::onHost2(QJsonObject mission)
{
    mission.insert("host", tb::host2());
    mission.insert("port", QString::number(tb::port2()));
    return mission;
}

QMap<QString, QByteArray> TransferE2e::localDigest(const QString &dataset)
{
    const QString dir = tb::localPath(dataset);
    return dir.isEmpty() ? QMap<QString, QByteArray>() : tb::treeDigest(dir);
}

QMap<QString, QByteArray> TransferE2e::remoteDigest(const QString &dataset)
{
    const QString dir = tb::remotePath(dataset);
    return dir.isEmpty() ? QMap<QString, QByteArray>() : tb::treeDigest(dir);
}

QMap<QString, QByteArray> TransferE2e::remote2Digest(const QString &dataset)
{
    const QString dir = tb::remote2Path(dataset);
    return dir.isEmpty() ? QMap<QString, QByteArray>() : tb::treeDigest(dir);
}

QStringList TransferE2e::localSnapshotNames(const QString &dataset) { return afterAt(tb::localSnapshots(dataset)); }

QStringList TransferE2e::remoteSnapshotNames(const QString &dataset) { return afterAt(tb::remoteSnapshots(dataset)); }

QStringList TransferE2e::remote2SnapshotNames(const QString &dataset) { return afterAt(tb::remote2Snapshots(dataset)); }

QString TransferE2e::localProperty(const QString &dataset, const QString &property)
{
    return QString::fromUtf8(tb::localZfs({"get", "-H", "-o", "value", property, dataset}).out).trimmed();
}

QString TransferE2e::remoteProperty(const QString &dataset, const QString &property)
{
    return QString::fromUtf8(tb::remoteZfs({"get", "-H", "-o", "value", property, dataset}).out).trimmed();
}

qint64 TransferE2e::cancelledAfter(int delayMs, const std::function<bool(TQ2Journals &)> &kind, bool &ok,
                                   QByteArray &journal)
{
    std::atomic<qint64> cancelledAt{-1};
    QElapsedTimer clock;
    clock.start();
    std::thread canceller;
    drive->onStart = [&](const std::shared_ptr<::Run> &run) {
        canceller = std::thread([run, &cancelledAt, &clock, delayMs] {
            QThread::msleep(static_cast<unsigned long>(delayMs));
            cancelledAt = clock.elapsed();
            run->cancel(CancelToken::Operator);
        });
    };
    TQ2Journals cancelled;
    ok = kind(cancelled);
    const qint64 ended = clock.elapsed();
    if (canceller.joinable())
        canceller.join();
    drive->onStart = nullptr;
    journal = journalText(cancelled);
    return cancelledAt.load() < 0 ? -1 : ended - cancelledAt.load();
}

bool TransferE2e::eventually(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        if (condition())
            return true;
        QThread::msleep(100);
    }
    return condition();
}
