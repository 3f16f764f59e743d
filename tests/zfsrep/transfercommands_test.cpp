#include "transfercommands.h"

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

TEST(TransferCommands, SendFullKeepsEveryValueOneWord)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString log = dir.filePath("log");
    const Endpoint endpoint{"h;ost", 2222, "us'er"};
    const QString command =
        TransferCommands::sendFull("tank/" + kHostile + "@a", 12345, endpoint, "backup/" + kHostile);
    const QStringList calls = runWithStubs(command, log);
    ASSERT_EQ(calls.size(), 3) << command.toStdString();
    QMap<QString, QStringList> byTool;
    for (const QString &call : calls)
        byTool.insert(argv(call).first(), argv(call).mid(1));
    EXPECT_EQ(byTool.value("zfs"), (QStringList{"send", "-w", "tank/" + kHostile + "@a"}));
    EXPECT_EQ(byTool.value("pv"), (QStringList{"-r", "-p", "-s", "12345"}));
    const QStringList ssh = byTool.value("sshpass");
    ASSERT_EQ(ssh.size(), 8);
    EXPECT_EQ(ssh.mid(0, 7), (QStringList{"-e", "ssh", "-p", "2222", "-o", "StrictHostKeyChecking no", "us'er@h;ost"}));
    EXPECT_EQ(remoteArgv(ssh.at(7)), (QStringList{"/usr/sbin/zfs", "recv", "backup/" + kHostile}));
    EXPECT_FALSE(QFile::exists("/tmp/zfsrep-pwned"));
}

TEST(TransferCommands, IncrementalAndReceivePipelines)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString log = dir.filePath("log");
    const Endpoint endpoint{"127.0.0.1", 22, "zr"};

    QStringList calls = runWithStubs(
        TransferCommands::sendIncremental("tank/d@a b", "tank/d@c;d", 7, endpoint, "backup/d"), log);
    ASSERT_EQ(calls.size(), 3);
    for (const QString &call : calls) {
        if (argv(call).first() == "zfs") {
            EXPECT_EQ(argv(call).mid(1), (QStringList{"send", "-wRI", "tank/d@a b", "tank/d@c;d"}));
        }
    }

    calls = runWithStubs(TransferCommands::receiveIncremental(endpoint, "back up/d@1", "back'up/d@2", 9, "tank/" + kHostile),
                         log);
    ASSERT_EQ(calls.size(), 3);
    for (const QString &call : calls) {
        const QStringList args = argv(call);
        if (args.first() == "sshpass") {
            EXPECT_EQ(remoteArgv(args.last()), (QStringList{"zfs", "send", "-RI", "back up/d@1", "back'up/d@2"}));
        }
        if (args.first() == "zfs") {
            EXPECT_EQ(args.mid(1), (QStringList{"recv", "-Fu", "tank/" + kHostile}));
        }
    }
}

TEST(TransferCommands, ExportAndRestoreUseTheExactFile)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString log = dir.filePath("log");
    const QString file = dir.filePath("out " + QString(kHostile).remove('/') + ".gz.zsa");
    runWithStubs(TransferCommands::exportToFile("tank/d@s", 1, file), log);
    EXPECT_TRUE(QFile::exists(file)) << "the redirection wrote the named file";
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);

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
    const Endpoint endpoint{"h", 22, "u"};
    for (const QString &command : {TransferCommands::sendFull("a@1", 1, endpoint, "b"),
                                   TransferCommands::receiveFull(endpoint, "b@1", 1, "a")}) {
        EXPECT_TRUE(command.contains("sshpass -e ssh"));
        EXPECT_FALSE(command.contains("sshpass -p"));
    }
}

} // namespace
