#include "rpctestkit.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QProcess>

namespace {

struct CtlRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

CtlRun zfsrepctl(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral(ZFSREPCTL_PATH), args);
    CtlRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

TEST(Zfsrepctl, ExitStatusFollowsTheAnswer)
{
    SocketDir dir;
    const QString path = dir.path();
    TestRouter router;
    ServerThread runner(&router);
    ASSERT_TRUE(runner.start(path));

    CtlRun ok = zfsrepctl({"--socket", path, "echo", "n=5", "name=tank/data"});
    EXPECT_EQ(ok.exitCode, 0) << ok.err.toStdString();
    const QJsonObject answer = QJsonDocument::fromJson(ok.out).object();
    EXPECT_EQ(answer.value("results").toObject(), (QJsonObject{{"n", 5}, {"name", "tank/data"}}));
    EXPECT_TRUE(ok.out.contains("\n    \"results\"")) << "indented output";

    CtlRun failed = zfsrepctl({"--socket", path, "fail"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_EQ(QJsonDocument::fromJson(failed.out).object().value("err").toInt(), 9995);

    CtlRun missing = zfsrepctl({"--socket", path, "nosuch"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(QJsonDocument::fromJson(missing.out).object().value("err").toInt(), 9885);

    CtlRun silent = zfsrepctl({"--socket", path, "--timeout", "1", "slow", "ms=3000"});
    EXPECT_EQ(silent.exitCode, 2);

    CtlRun usage = zfsrepctl({"--socket", path, "echo", "novalue"});
    EXPECT_EQ(usage.exitCode, 64);
}

TEST(Zfsrepctl, UnreachableServiceIsExitTwoNamingTheSocket)
{
    SocketDir dir;
    const QString path = dir.path("nobody.sock");
    CtlRun run = zfsrepctl({"--socket", path, "help_interfaces"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(run.err.contains(path.toUtf8())) << run.err.toStdString();
}

} // namespace
