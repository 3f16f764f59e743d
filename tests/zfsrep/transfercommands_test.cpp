#include "transfercommands.h"
#include "zfscommands.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>

namespace {

using TransferCommands::Endpoint;

// Runs `command` under bash with the tools replaced by functions that log
// their argument vectors (one line per call, fields separated by 0x1f) and
// returns the log lines.
QStringList runWithStubs(const QString &command, const QString &log)
{
    const QString stub = QStringLiteral("_log(){ local IFS=$'\\x1f'; printf '%s\\n' \"$*\" >> '") + log + "'; }; "
                         "zfs(){ _log zfs \"$@\"; }; pv(){ _log pv \"$@\"; cat; }; "
                         "sshpass(){ _log sshpass \"$@\"; }; gzip(){ _log gzip \"$@\"; cat; }; "
                         "cat(){ if [ $# -gt 0 ]; then _log cat \"$@\"; fi; command cat \"${@:2}\" 2>/dev/null; }; ";
    QProcess bash;
    bash.start("/bin/bash", {"-c", stub + command});
    bash.waitForFinished(10000);
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QStringList lines = QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
    file.close();
    file.remove();
    return lines;
}

QStringList argv(const QString &line) { return line.split(QChar(0x1f)); }

// A remote command split into words as the remote shell would split it
// (the words become the positional parameters; nothing is run).
QStringList remoteArgv(const QString &remoteCommand)
{
    QProcess bash;
    bash.start("/bin/bash", {"-c", "set -- " + remoteCommand + "; IFS=$'\\x1f'; printf '%s' \"$*\""});
    bash.waitForFinished(5000);
    return QString::fromUtf8(bash.readAllStandardOutput()).split(QChar(0x1f));
}

const QString kHostile = QStringLiteral("we'ird \"$(touch /tmp/zfsrep-pwned)\";`id` x");

// The pipeline of a send as the engine assembles it from the builders.
QString sendPipeline(const ZfsCommands::SendSpec &spec, const Endpoint &endpoint, const QString &remoteDataset)
{
    const QString receive = ZfsCommands::commandText(
        "/usr/sbin/zfs", ZfsCommands::receiveArgs(ZfsCommands::ReceiveMode::Replica, remoteDataset));
    return TransferCommands::stream(ZfsCommands::commandText("zfs", ZfsCommands::sendArgs(spec)),
                                    TransferCommands::pvMeter(0), TransferCommands::sshPrefix(endpoint, receive));
}

// With the service's pipe-buffer helper set, every meter starts through it,
// its path one word whatever it holds; unset, pv runs directly.
TEST(TransferCommands, MeterRunsThroughThePipeBufferHelperWhenOneIsSet)
{
    struct Reset {
        ~Reset() { TransferCommands::setMeterPipeBuffer(QString(), 0); }
    } reset;
    EXPECT_EQ(TransferCommands::pvMeter(0), "pv -f -n -b -t -i 1");
    TransferCommands::setMeterPipeBuffer("/opt/zfs rep/zfsrep", 1048576);
    EXPECT_EQ(TransferCommands::pvMeter(0), "'/opt/zfs rep/zfsrep' --pipe-buffer 1048576 pv -f -n -b -t -i 1");
    EXPECT_EQ(TransferCommands::pvMeter(5000), "'/opt/zfs rep/zfsrep' --pipe-buffer 1048576 pv -f -n -b -t -i 1 -L 5000");
    EXPECT_EQ(TransferCommands::pvStage(10), "'/opt/zfs rep/zfsrep' --pipe-buffer 1048576 pv -f -n -b -t -i 1 -s 10")
        << "exports and restores meter the same way";
}

TEST(TransferCommands, SendKeepsEveryValueOneWord)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString log = dir.filePath("log");
    const Endpoint endpoint{"h;ost", 2222, "us'er", QString()};
    ZfsCommands::SendSpec spec;
    spec.snapshot = "tank/" + kHostile + "@a";
    spec.raw = true;
    const QString command = sendPipeline(spec, endpoint, "backup/" + kHostile);
    const QStringList calls = runWithStubs(command, log);
    ASSERT_EQ(calls.size(), 3) << command.toStdString();
    QMap<QString, QStringList> byTool;
    for (const QString &call : calls)
        byTool.insert(argv(call).first(), argv(call).mid(1));
    EXPECT_EQ(byTool.value("zfs"), (QStringList{"send", "-w", "-R", "tank/" + kHostile + "@a"}));
    EXPECT_EQ(byTool.value("pv"), (QStringList{"-f", "-n", "-b", "-t", "-i", "1"}));
    const QStringList ssh = byTool.value("sshpass");
    ASSERT_EQ(ssh.size(), 16);
    EXPECT_EQ(ssh.mid(0, 15), (QStringList{"-e", "ssh", "-p", "2222", "-o", "StrictHostKeyChecking=accept-new", "-o", "UserKnownHostsFile=/tarn/etc/zfs/zfsrep.known_hosts", "-o",
                                           "ServerAliveInterval=15", "-o", "ServerAliveCountMax=4", "-o",
                                           "ConnectTimeout=20", "us'er@h;ost"}));
    EXPECT_EQ(remoteArgv(ssh.at(15)), (QStringList{"/usr/sbin/zfs", "recv", "-s", "-u", "-o", "mountpoint=none", "-x",
                                                   "sharenfs", "-x", "sharesmb", "-o", "readonly=on",
                                                   "backup/" + kHostile}));
    EXPECT_FALSE(QFile::exists("/tmp/zfsrep-pwned"));
}

TEST(TransferCommands, IncrementalResumeAndPullPipelines)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString log = dir.filePath("log");
    const Endpoint endpoint{"127.0.0.1", 22, "zr", QString()};

    ZfsCommands::SendSpec incremental;
    incremental.snapshot = "tank/d@c;d";
    incremental.base = "tank/d@a b";
    incremental.raw = true;
    ZfsCommands::SendSpec resume;
    resume.token = "1-$(id)-'x'";
    const struct {
        ZfsCommands::SendSpec spec;
        QStringList expected;
    } sends[] = {
        {incremental, {"send", "-w", "-R", "-I", "tank/d@a b", "tank/d@c;d"}},
        {resume, {"send", "-t", "1-$(id)-'x'"}},
    };
    for (const auto &c : sends) {
        const QStringList calls = runWithStubs(sendPipeline(c.spec, endpoint, "backup/d"), log);
        ASSERT_EQ(calls.size(), 3);
        for (const QString &call : calls) {
            if (argv(call).first() == "zfs") {
                EXPECT_EQ(argv(call).mid(1), c.expected);
            }
        }
    }

    ZfsCommands::SendSpec pull;
    pull.snapshot = "back'up/d@2";
    const QString command = TransferCommands::stream(
        TransferCommands::sshPrefix(endpoint, ZfsCommands::commandText("/usr/sbin/zfs", ZfsCommands::sendArgs(pull))),
        TransferCommands::pvMeter(1048576),
        ZfsCommands::commandText("zfs", ZfsCommands::receiveArgs(ZfsCommands::ReceiveMode::Staging, "tank/" + kHostile)));
    const QStringList calls = runWithStubs(command, log);
    ASSERT_EQ(calls.size(), 3);
    for (const QString &call : calls) {
        const QStringList args = argv(call);
        if (args.first() == "sshpass") {
            EXPECT_EQ(remoteArgv(args.last()), (QStringList{"/usr/sbin/zfs", "send", "-R", "back'up/d@2"}));
        }
        if (args.first() == "pv") {
            EXPECT_EQ(args.mid(1), (QStringList{"-f", "-n", "-b", "-t", "-i", "1", "-L", "1048576"}));
        }
        if (args.first() == "zfs") {
            EXPECT_EQ(args.mid(1), (QStringList{"recv", "-s", "-u", "-x", "readonly", "-x", "mountpoint", "-x", "sharenfs",
                                                "-x", "sharesmb", "-o", "setuid=off", "-o", "devices=off",
                                                "tank/" + kHostile}));
        }
    }
}

TEST(TransferCommands, ExportAndRestoreUseTheExactFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString log = dir.filePath("log");
    const QString file = dir.filePath("out " + QString(kHostile).remove('/') + ".gz.zsa");
    // The export writes only into the descriptor it is given.
    EXPECT_TRUE(TransferCommands::exportToDescriptor("tank/d@s", 1, "gzip -1", 27).endsWith(" | gzip -1 >&27"));

    const QStringList calls = runWithStubs(TransferCommands::restoreFromFile("-" + file, 5, "tank/d"), log);
    bool sawCat = false;
    for (const QString &call : calls) {
        const QStringList args = argv(call);
        if (args.first() == "cat") {
            sawCat = true;
            EXPECT_EQ(args.mid(1), (QStringList{"--", "-" + file}));
        }
        if (args.first() == "gzip") {
            EXPECT_EQ(args.mid(1), QStringList{"-dc"});
        }
    }
    EXPECT_TRUE(sawCat);
}

TEST(TransferCommands, StageRunsUnderPipefail)
{
    EXPECT_EQ(TransferCommands::stageShellCommand("false | cat"), "set -o pipefail; false | cat");
    QProcess bash;
    bash.start("/bin/bash", {"-c", TransferCommands::stageShellCommand("false | cat")});
    bash.waitForFinished(5000);
    EXPECT_NE(bash.exitCode(), 0);
}

TEST(TransferCommands, PasswordNeverInAnyPipeline)
{
    const Endpoint endpoint{"h", 22, "u", QString()};
    for (const QString &command : {TransferCommands::sshPrefix(endpoint, "zfs send a@1"),
                                   sendPipeline(ZfsCommands::SendSpec{"", "a@1", "", true}, endpoint, "b")}) {
        EXPECT_TRUE(command.contains("sshpass -e ssh"));
        EXPECT_FALSE(command.contains("sshpass -p"));
    }
}

} // namespace
