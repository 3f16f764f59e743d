// The real zfsrep binary on the simulated appliance, driven through its
// socket: answers on a connection that is kept open reflect only their own
// request, bad missions are refused before anything is stored, and a stored
// mission with a huge schedule neither slows the start nor runs.
#include "service.h"
#include "tbharness.h"
#include "tq2rpcpacket.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QThread>

#include <csignal>
#include <cstdio>

namespace {

const char *const kSocket = "/tarn/run/zfsrep-e2e.sock";

QJsonObject config()
{
    return QJsonObject{{"lpcid", kSocket}, {"debugging", "yes"}, {"appname", "zfsrep"}};
}

// One connection kept open for several requests, as the appliance's
// management interface keeps it.
class Connection
{
public:
    bool open(int timeoutMs = 5000)
    {
        socket.connectToServer(QString::fromLatin1(kSocket));
        return socket.waitForConnected(timeoutMs);
    }

    // Writes one request and reads its answer; empty on time-out or close.
    QJsonObject call(const QString &cmd, const QJsonObject &params = QJsonObject(), bool help = false)
    {
        QJsonObject request{{"cmd", cmd}, {"params", params}};
        if (help)
            request.insert("help", 1);
        socket.write(TQ2RpcPacket(request).toDatagram());
        if (!socket.waitForBytesWritten(10000))
            return QJsonObject();
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 120000) {
            TQ2RpcPacket packet;
            const int state = packet.fromDatagram(buffer);
            if (state == TQ2RpcPacket::Complete && !packet.isKeepAlive())
                return packet.object;
            if (state == TQ2RpcPacket::Incomplete) {
                if (!socket.waitForReadyRead(1000) && socket.state() != QLocalSocket::ConnectedState)
                    return QJsonObject();
                buffer += socket.readAll();
            } else if (state != TQ2RpcPacket::KeepAlive && state != TQ2RpcPacket::Complete) {
                return QJsonObject(); // not a datagram
            }
        }
        return QJsonObject();
    }

private:
    QLocalSocket socket;
    QByteArray buffer;
};

QJsonObject sendMission(const QString &caption)
{
    return QJsonObject{{"caption", caption}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                       {"path", "backup"}, {"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()},
                       {"passwd", tb::password()}, {"snapname", "e2e"},
                       {"schedules", QJsonDocument::fromJson(R"([{"hours":[3],"minutes":[0]}])").array()}};
}

// About 72 KB: 36,000 hours that repeat the same few values.
QJsonArray hugeSchedule()
{
    QJsonArray hours;
    for (int i = 0; i < 36000; ++i)
        hours.append(i % 24);
    return QJsonArray{QJsonObject{{"hours", hours}, {"minutes", QJsonArray{0}}}};
}

class ValidationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TB_REQUIRE();
        tb::clearFaults();
        Service::resetState();
    }

    void startServing()
    {
        service.start(config());
        ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    }

    QJsonArray missions()
    {
        return service.ctl("zfsrep_mission_alload").response.value("results").toObject().value("records").toArray();
    }

    Service service;
};

TEST_F(ValidationTest, AKeptConnectionGetsEachRequestsOwnAnswer)
{
    startServing();
    Connection connection;
    ASSERT_TRUE(connection.open());
    const QJsonObject listed = connection.call("zfsrep_mission_alload");
    ASSERT_EQ(listed.value("err").toInt(-1), 0) << QJsonDocument(listed).toJson().toStdString();

    // A tool failure (ssh refuses the password) after the success.
    const QJsonObject failed = connection.call(
        "zfsrep_pools_remote",
        QJsonObject{{"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()}, {"passwd", "not-the-password"}});
    EXPECT_EQ(failed.value("err").toInt(), 9898) << QJsonDocument(failed).toJson().toStdString();
    EXPECT_FALSE(failed.contains("results"));
    EXPECT_FALSE(QJsonDocument(failed).toJson().contains("not-the-password"));

    // A change of a mission that does not exist, then a help request.
    const QJsonObject ghost = connection.call("zfsrep_mission_change", [] {
        QJsonObject params = sendMission("ghost");
        params.insert("msnno", 999);
        return params;
    }());
    EXPECT_EQ(ghost.value("err").toInt(), 9994);
    EXPECT_EQ(ghost.value("errmsg").toString(), QString::fromUtf8("任务名称不存在"));
    const QJsonObject help = connection.call("zfsrep_mission_append", QJsonObject(), true);
    EXPECT_EQ(help.value("err").toInt(-1), 0);
    EXPECT_FALSE(help.contains("errmsg"));
    EXPECT_FALSE(help.contains("journals")) << "no entries of earlier requests";

    // Every method answers a help request with 0, right after a failure.
    const QJsonObject listing = connection.call("help_interfaces").value("results").toObject();
    ASSERT_FALSE(listing.isEmpty());
    for (const QString &method : listing.keys()) {
        SCOPED_TRACE(method.toStdString());
        ASSERT_EQ(connection.call("zfsrep_mission_remove", QJsonObject{{"msnno", 999}}).value("err").toInt(), 9994);
        const QJsonObject answer = connection.call(method, QJsonObject{{"msnno", 999}}, true);
        EXPECT_EQ(answer.value("err").toInt(-1), 0) << QJsonDocument(answer).toJson().toStdString();
        EXPECT_FALSE(answer.contains("errmsg"));
    }

    // Many failures on the connection: the answer still carries only its own.
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(connection.call("zfsrep_mission_remove", QJsonObject{{"msnno", 999}}).value("err").toInt(), 9994);
    const QJsonObject again = connection.call("zfsrep_mission_alload");
    EXPECT_EQ(again.value("err").toInt(-1), 0);
    EXPECT_FALSE(again.contains("journals"));
    EXPECT_LT(QJsonDocument(again).toJson(QJsonDocument::Compact).size(), 200);
}

TEST_F(ValidationTest, EveryBadMissionIsRefusedAndNothingIsStored)
{
    startServing();
    Connection connection;
    ASSERT_TRUE(connection.open());
    const auto with = [](const char *key, const QJsonValue &value) {
        QJsonObject params = sendMission("bad");
        if (value.isUndefined())
            params.remove(QLatin1String(key));
        else
            params.insert(QLatin1String(key), value);
        return params;
    };
    const auto exportWith = [](const QJsonValue &path) {
        QJsonObject params{{"caption", "export"}, {"action", 3}, {"pool", "tank"}, {"name", "data"}};
        if (!path.isUndefined())
            params.insert("path", path);
        return params;
    };
    const struct {
        const char *name;
        QJsonObject params;
        const char *message;
    } cases[] = {
        {"action 9", with("action", 9), "参数无效: action: 9"},
        {"never-matching schedule", with("schedules", QJsonDocument::fromJson(R"([{"hours":[25],"minutes":[61],"weeks":[8]}])").array()),
         "参数无效: schedules[0].hours: 25"},
        {"schedules as an object", with("schedules", QJsonDocument::fromJson(R"({"hours":[3]})").object()),
         "参数无效: schedules: 不是列表"},
        {"misspelt key", with("schedules", QJsonDocument::fromJson(R"([{"hour":[3]}])").array()),
         "参数无效: schedules[0].hour: 未知的键"},
        {"values as text", with("schedules", QJsonDocument::fromJson(R"([{"hours":"3"}])").array()),
         "参数无效: schedules[0].hours: 不是列表"},
        {"72 KB schedule", with("schedules", hugeSchedule()), "参数无效: schedules: 超过 1000 个值"},
        {"send without host", with("host", QJsonValue::Undefined), "缺少参数: host"},
        {"send without password", with("passwd", QJsonValue::Undefined), "缺少参数: passwd"},
        {"export without path", exportWith(QJsonValue::Undefined), "缺少参数: path"},
        {"export to a relative path", exportWith("exports"), "参数无效: path: 不是绝对路径"},
        {"port with a command", with("port", "22; rm -rf /"), "参数无效: port: 22; rm -rf /"},
        {"port 10^12", with("port", 1e12), "参数无效: port: 1000000000000"},
        {"port -5", with("port", -5), "参数无效: port: -5"},
        {"caption with NUL", with("caption", QString::fromUtf8("bad\0one", 7)), "参数无效: caption: 含有控制字符"},
        {"negative rate limit", with("ratelimit", -1), "参数无效: ratelimit: -1"},
        {"caption of 257 characters", with("caption", QString(257, QLatin1Char('c'))), "参数无效: caption: 超过 256 个字符"},
        {"path of 5000 characters", with("path", QString(5000, QLatin1Char('p'))), "参数无效: path: 超过 4096 个字符"},
        {"name like an option", with("name", "-R"), "参数无效: name: 以 - 开头"},
        {"series like an option", with("snapname", "-d"), "参数无效: snapname: 以 - 开头"},
        {"series with a newline", with("snapname", "e2e\nx"), "参数无效: snapname: 含有控制字符"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QElapsedTimer timer;
        timer.start();
        const QJsonObject answer = connection.call("zfsrep_mission_append", c.params);
        const qint64 elapsed = timer.elapsed();
        EXPECT_EQ(answer.value("err").toInt(), 9995);
        EXPECT_EQ(answer.value("errmsg").toString(), QString::fromUtf8(c.message));
        if (QString::fromLatin1(c.name) == QLatin1String("72 KB schedule"))
            std::printf("figure: 72 KB schedule refused in %lld ms\n", static_cast<long long>(elapsed));
    }
    EXPECT_TRUE(missions().isEmpty()) << "nothing was stored";

    // The remote queries hold the port to the same rule.
    const QJsonObject remote = connection.call(
        "zfsrep_snapshot_remote",
        QJsonObject{{"host", tb::host()}, {"port", "22; touch /tmp/owned"}, {"userid", tb::user()},
                    {"passwd", tb::password()}});
    EXPECT_EQ(remote.value("err").toInt(), 9995);
    EXPECT_FALSE(QFile::exists("/tmp/owned"));

    // A sound mission is stored, with the password as given.
    QJsonObject sound = sendMission("sound");
    sound.remove("port");
    ASSERT_EQ(connection.call("zfsrep_mission_append", sound).value("err").toInt(-1), 0);
    const QJsonArray stored = missions();
    ASSERT_EQ(stored.size(), 1);
    EXPECT_EQ(stored.at(0).toObject().value("port").toString(), "22");
    EXPECT_EQ(stored.at(0).toObject().value("passwd").toString(), tb::password());
}

TEST_F(ValidationTest, AStoredHugeScheduleNeitherDelaysTheStartNorRuns)
{
    startServing();
    ASSERT_EQ(service.ctl("zfsrep_mission_append", sendMission("sound")).response.value("err").toInt(-1), 0);
    ASSERT_EQ(service.ctl("zfsrep_mission_append", sendMission("huge")).response.value("err").toInt(-1), 0);
    ASSERT_EQ(service.stop(SIGTERM), 0);

    // As an older service stored it: 72 KB of repeated hours.
    const QString sqlFile = tb::scratchDir("validation") + "/huge.sql";
    QFile sql(sqlFile);
    ASSERT_TRUE(sql.open(QIODevice::WriteOnly));
    sql.write("UPDATE t_mission SET msn_schedules = '"
              + QJsonDocument(hugeSchedule()).toJson(QJsonDocument::Compact)
              + "' WHERE msn_caption = 'huge';\n");
    sql.close();
    const tb::Run update = tb::bash("sqlite3 /tarn/etc/zfs/zfsrep.db < " + sqlFile);
    ASSERT_TRUE(update.ok()) << update.err.toStdString();

    QElapsedTimer timer;
    timer.start();
    service.start(config());
    // Polls every 10 ms until the socket answers a listing (bounded: 60 s).
    QJsonObject listed;
    while (listed.isEmpty() && timer.elapsed() < 60000 && service.isRunning()) {
        Connection connection;
        if (connection.open(100))
            listed = connection.call("zfsrep_mission_alload");
        if (listed.isEmpty())
            QThread::msleep(10);
    }
    std::printf("figure: start with a stored 72 KB schedule answered after %lld ms\n",
                static_cast<long long>(timer.elapsed()));
    const QJsonArray records = listed.value("results").toObject().value("records").toArray();
    ASSERT_EQ(records.size(), 2) << "the row that breaks the rules still lists";
    EXPECT_EQ(listed.value("err").toInt(-1), 0);
}

TEST_F(ValidationTest, TheMetricsFileReplacesAPlantedLinkWithoutWritingThroughIt)
{
    const QString victim = tb::scratchDir("validation-metrics") + "/victim";
    QFile target(victim);
    ASSERT_TRUE(target.open(QIODevice::WriteOnly));
    target.write("precious\n");
    target.close();
    ASSERT_TRUE(target.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    const QString metrics = "/tarn/run/zfsrep-links-e2e.prom";
    QFile::remove(metrics);
    ASSERT_TRUE(QFile::link(victim, metrics));

    QJsonObject withMetrics = config();
    withMetrics.insert("metricsfile", metrics);
    service.start(withMetrics);
    ASSERT_TRUE(service.waitUntilServing()) << service.output().toStdString();
    // Written at start; polled every 50 ms for at most 10 s.
    QElapsedTimer timer;
    timer.start();
    while (QFileInfo(metrics).isSymLink() && timer.elapsed() < 10000)
        QThread::msleep(50);
    EXPECT_FALSE(QFileInfo(metrics).isSymLink()) << "the link itself was replaced";
    QFile written(metrics);
    ASSERT_TRUE(written.open(QIODevice::ReadOnly));
    EXPECT_TRUE(written.readAll().contains("zfsrep_"));
    EXPECT_EQ(written.permissions() & (QFileDevice::ReadOther | QFileDevice::WriteOther), QFileDevice::ReadOther)
        << "0644: readable by node_exporter";
    ASSERT_TRUE(target.open(QIODevice::ReadOnly));
    EXPECT_EQ(target.readAll(), "precious\n") << "the link's target is untouched";
    EXPECT_EQ(target.permissions(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser
                                        | QFileDevice::WriteUser);
    EXPECT_EQ(service.stop(SIGTERM), 0);
    QFile::remove(metrics);
}

TEST_F(ValidationTest, ARemoteHostPrintingTooMuchFailsTheRequestAndTheServiceLives)
{
    startServing();
    // The backup host answers the pool listing with 300 MiB.
    tb::setRemoteFault("flood-list", "300M");
    const QJsonObject remote{{"host", tb::host()}, {"port", tb::port()}, {"userid", tb::user()},
                             {"passwd", tb::password()}};
    const Service::Call flooded = service.ctl("zfsrep_pools_remote", remote);
    tb::clearFaults();
    EXPECT_NE(flooded.response.value("err").toInt(), 0);
    EXPECT_TRUE(flooded.response.value("errmsg").toString().contains("printed more than"))
        << QJsonDocument(flooded.response).toJson().toStdString();
    ASSERT_TRUE(service.isRunning()) << service.output().toStdString();
    QFile status(QStringLiteral("/proc/%1/status").arg(service.pid()));
    ASSERT_TRUE(status.open(QIODevice::ReadOnly));
    long residentKiB = -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            residentKiB = line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    EXPECT_GT(residentKiB, 0);
    EXPECT_LT(residentKiB, 100 * 1024) << "resident memory in KiB";
    // And it still answers.
    const Service::Call again = service.ctl("zfsrep_pools_remote", remote);
    EXPECT_EQ(again.response.value("err").toInt(), 0) << QJsonDocument(again.response).toJson().toStdString();
}

} // namespace

namespace {

QJsonObject fileMission(int action, const QString &pool, const QString &name, const QString &path)
{
    return QJsonObject{{"caption", QStringLiteral("names %1 %2").arg(action).arg(pool + name + path)},
                       {"action", action}, {"pool", pool}, {"name", name}, {"path", path}};
}

} // namespace

TEST_F(ValidationTest, NamesThatClimbOutOfTheirDirectoryAreRefusedAndAStoredOneMakesNothing)
{
    startServing();
    const QString exports = tb::scratchDir("validation") + "/exports";
    const QString climb = "data/../../../../../../../tarn/made/x";
    const struct {
        const char *name;
        QJsonObject params;
        const char *message;
    } cases[] = {
        {"export name", fileMission(3, "tank", climb, exports), "参数无效: name: 含有 . 或 .. 名称部分"},
        {"export pool", fileMission(3, "../../../../tarn/made", "data", exports), "参数无效: pool: 含有 . 或 .. 名称部分"},
        {"export path", fileMission(3, "tank", "data", exports + "/../../../../tarn/made"),
         "参数无效: path: 含有 . 或 .. 名称部分"},
        {"export empty component", fileMission(3, "tank", "data//x", exports), "参数无效: name: 含有空的名称部分"},
        {"restore name", fileMission(4, "tank", "..", exports + "/tank/data@s.gz.zsa"), "参数无效: name: 含有 . 或 .. 名称部分"},
        {"restore pool", fileMission(4, "..", "data", exports + "/tank/data@s.gz.zsa"), "参数无效: pool: 含有 . 或 .. 名称部分"},
        {"restore path", fileMission(4, "tank", "data", exports + "/../../../etc/shadow"), "参数无效: path: 含有 . 或 .. 名称部分"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject answer = service.ctl("zfsrep_mission_append", c.params).response;
        EXPECT_EQ(answer.value("err").toInt(), 9995);
        EXPECT_EQ(answer.value("errmsg").toString(), QString::fromUtf8(c.message));
    }
    EXPECT_TRUE(missions().isEmpty()) << "nothing was stored";

    // A row as an older service stored it, asked to run: it is not run, and
    // no directory is made anywhere.
    ASSERT_EQ(service.ctl("zfsrep_mission_append", fileMission(3, "tank", "data", exports)).response.value("err").toInt(-1), 0);
    ASSERT_EQ(service.stop(SIGTERM), 0);
    const QString sqlFile = tb::scratchDir("validation") + "/climb.sql";
    QFile sql(sqlFile);
    ASSERT_TRUE(sql.open(QIODevice::WriteOnly));
    sql.write("UPDATE t_mission SET msn_name = '" + climb.toUtf8() + "';\n");
    sql.close();
    const tb::Run update = tb::bash("sqlite3 /tarn/etc/zfs/zfsrep.db < " + sqlFile);
    ASSERT_TRUE(update.ok()) << update.err.toStdString();
    startServing();
    const QJsonArray listed = missions();
    ASSERT_EQ(listed.size(), 1);
    const int msnno = listed.at(0).toObject().value("msnno").toInt();
    service.ctl("zfsrep_mission_run", QJsonObject{{"msnno", msnno}});
    QThread::sleep(3);
    EXPECT_FALSE(QFileInfo::exists("/tarn/made")) << "no directory outside the export directory";
    EXPECT_FALSE(QFileInfo::exists(exports + "/tank")) << "nor inside it";
    EXPECT_EQ(missions().at(0).toObject().value("state").toString(), "failed") << "listed with its reason";
}
