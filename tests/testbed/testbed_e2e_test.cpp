// Inside the testbed (run through testbed/run-in-testbed.sh): the promised
// environment, both remote hosts reached with sshpass and ssh, and snapshot
// transfers through the same kind of pipeline the service runs (script -c,
// zfs send, pv, sshpass, ssh, zfs recv), checked on the data at both ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>

namespace {

struct Result {
    int rc;
    std::string out;
    std::string err;
};

std::string env(const char *name)
{
    const char *v = getenv(name);
    return v ? v : "";
}

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Runs a bash script (pipefail on); output is captured through files in the
// testbed's directory.
Result bash(const std::string &script)
{
    const std::string dir = env("ZFSREP_TB_DIR");
    {
        std::ofstream f(dir + "/e2e-script.sh");
        f << "set -o pipefail\n"
             "export SSHPASS=\"$ZFSREP_TB_SSH_PASSWORD\"\n"
             "R=\"$ZFSREP_TB_SSH_USER@$ZFSREP_TB_SSH_HOST\"\n"
             "SSH=\"sshpass -e ssh -p $ZFSREP_TB_SSH_PORT -o StrictHostKeyChecking=no\"\n"
          << script << "\n";
    }
    const std::string cmd = "/bin/bash '" + dir + "/e2e-script.sh' </dev/null >'" + dir + "/e2e-out' 2>'" + dir +
                            "/e2e-err'";
    int status = system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(dir + "/e2e-out"),
            slurp(dir + "/e2e-err")};
}

std::string ok(const std::string &script)
{
    Result r = bash(script);
    EXPECT_EQ(r.rc, 0) << script << "\nstderr: " << r.err;
    return r.out;
}

// sha256 of every file below a dataset's data, by relative path.
std::string digest(const std::string &root, const std::string &dataset)
{
    return ok("cd \"$(ZFS_SIM_ROOT=" + root + " zfs sim-path " + dataset +
              ")\" && find . -type f -print0 | sort -z | xargs -0 sha256sum");
}

const char *kSendFull = "script -q -e -c \"zfs send -w tank/data@a | pv -r -p -s $S | $SSH $R "
                        "'/usr/sbin/zfs recv backup/data'\" /dev/null";

} // namespace

TEST(Testbed, ProvidesTheDocumentedEnvironment)
{
    for (const char *name : {"ZFS_SIM_ROOT", "ZFSREP_TB_DIR", "ZFSREP_TB_REMOTE_ROOT", "ZFSREP_TB_SSH_HOST",
                             "ZFSREP_TB_SSH_PORT", "ZFSREP_TB_SSH_USER", "ZFSREP_TB_SSH_PASSWORD",
                             "ZFSREP_TB_SIM_BIN", "HOME", "ZFSREP_TB_REMOTE2_ROOT", "ZFSREP_TB_SSH2_HOST",
                             "ZFSREP_TB_SSH2_PORT", "ZFSREP_TB_SSH2_HOSTKEY", "ZFSREP_TB_SSHD2_PID",
                             "ZFSREP_TB_SSH2_LOG"})
        EXPECT_FALSE(env(name).empty()) << name;
    EXPECT_EQ(env("ZFSREP_TB_SSH_HOST"), "127.0.0.1");
    EXPECT_EQ(env("ZFSREP_TB_SSH2_HOST"), "127.0.0.2");
    EXPECT_EQ(env("ZFSREP_TB_REMOTE2_ROOT"), env("ZFSREP_TB_DIR") + "/remote2");
    EXPECT_EQ(env("HOME").rfind(env("ZFSREP_TB_DIR"), 0), 0u) << "HOME lies in the testbed directory";
    EXPECT_EQ(ok("for d in /tarn /mnt; do findmnt -n -o FSTYPE \"$d\"; ls -A \"$d\" | wc -l; done"),
              "tmpfs\n0\ntmpfs\n0\n");
    ok("touch /tarn/probe /mnt/probe && rm /tarn/probe /mnt/probe");
    EXPECT_EQ(ok("command -v zfs zpool"), "/usr/sbin/zfs\n/usr/sbin/zpool\n");
    EXPECT_EQ(ok("zfs list -H -o name"), "tank\ntank/data\n");
    EXPECT_EQ(ok("ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE_ROOT zfs list -H -o name"), "backup\n");
    EXPECT_EQ(ok("ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE2_ROOT zfs list -H -o name"), "backup\n");
    EXPECT_EQ(ok("stat -c %U \"$ZFSREP_TB_REMOTE2_ROOT\""), env("ZFSREP_TB_SSH_USER") + "\n");
    EXPECT_NE(digest(env("ZFS_SIM_ROOT"), "tank/data").find("random.bin"), std::string::npos);
    EXPECT_EQ(ok("\"$ZFSREP_TB_SIM_BIN\" zpool list -H -o name"), "tank\n");
}

TEST(Testbed, RemoteHostAnswersOverSsh)
{
    const std::string json = ok("$SSH $R \"zfs list -pj\"");
    EXPECT_EQ(json.rfind("{\"output_version\":{\"command\":\"zfs list\",\"vers_major\":0,\"vers_minor\":1},"
                         "\"datasets\":{\"backup\":{\"name\":\"backup\",\"type\":\"FILESYSTEM\",\"pool\":\"backup\",",
                         0),
              0u)
        << json;
    EXPECT_EQ(ok("$SSH $R \"zpool list -Hpo name,size\""), "backup\t4294967296\n");
    EXPECT_EQ(ok("$SSH $R \"/usr/sbin/zfs list -H -o name\""), "backup\n");
    EXPECT_NE(ok("cat \"$HOME/.ssh/known_hosts\"").find("ssh-ed25519"), std::string::npos)
        << "known_hosts lands in the temporary HOME";
}

TEST(Testbed, SecondRemoteHostIsItsOwnMachine)
{
    const std::string ssh2 = "-p $ZFSREP_TB_SSH2_PORT -o StrictHostKeyChecking=no $ZFSREP_TB_SSH_USER@127.0.0.2 ";
    // Password and the client key both log in; the sessions reach the second root.
    EXPECT_EQ(ok("sshpass -e ssh " + ssh2 + "'zpool list -Hpo name,size; echo $ZFS_SIM_ROOT'"),
              "backup\t4294967296\n" + env("ZFSREP_TB_REMOTE2_ROOT") + "\n");
    EXPECT_EQ(ok("ssh -i \"$ZFSREP_TB_SSH_KEY\" -o IdentitiesOnly=yes -o BatchMode=yes " + ssh2 + "'zfs create backup/only2'"),
              "");
    EXPECT_EQ(ok("ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE2_ROOT zfs list -H -o name -r backup"), "backup\nbackup/only2\n");
    EXPECT_EQ(ok("$SSH $R 'zfs list -H -o name -r backup'"), "backup\n") << "the first host has its own pool";
    // Its own host key, its own listener and log.
    EXPECT_NE(ok("ssh-keygen -lf \"$ZFSREP_TB_SSH2_HOSTKEY\""), ok("ssh-keygen -lf \"$ZFSREP_TB_SSH_HOSTKEY\""));
    EXPECT_EQ(ok("ss -Hltnp \"src 127.0.0.2:$ZFSREP_TB_SSH2_PORT\" | grep -c \"pid=$ZFSREP_TB_SSHD2_PID,\""), "1\n");
    EXPECT_NE(ok("cat \"$ZFSREP_TB_SSH2_LOG\"").find("Accepted publickey for " + env("ZFSREP_TB_SSH_USER")),
              std::string::npos);
    ok("ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE2_ROOT zfs destroy backup/only2");
}

TEST(Testbed, TransfersThroughScriptPvAndSshKeepTheData)
{
    const std::string local = env("ZFS_SIM_ROOT"), remote = env("ZFSREP_TB_REMOTE_ROOT");
    ok("zfs snapshot tank/data@a");
    const std::string out = ok("S=$(zfs send -RPnv tank/data@a | awk '/^size/ {print $2}'); " + std::string(kSendFull));
    EXPECT_NE(out.find("100%"), std::string::npos) << "pv's display reaches script's output: " << out;
    EXPECT_EQ(digest(remote, "backup/data"), digest(local, "tank/data"));

    ok("D=$(zfs sim-path tank/data); head -c 500000 /dev/urandom > \"$D/second.bin\"; rm \"$D/README.txt\";"
       "zfs snapshot tank/data@b; echo c >> \"$D/docs/numbers.txt\"; zfs snapshot tank/data@c");
    ok("S=$(zfs send -RPnv tank/data@c | awk '/^size/ {print $2}'); script -q -e -c \"zfs send -wRI tank/data@a "
       "tank/data@c | pv -r -p -s $S | $SSH $R '/usr/sbin/zfs recv backup/data'\" /dev/null");
    EXPECT_EQ(digest(remote, "backup/data"), digest(local, "tank/data"));
    EXPECT_EQ(ok("ZFS_SIM_ROOT=$ZFSREP_TB_REMOTE_ROOT zfs list -t snapshot -Hp -o name,guid backup/data | "
                 "sed 's/^backup/tank/'"),
              ok("zfs list -t snapshot -Hp -o name,guid tank/data"));

    // And back: pull the remote copy into a new local dataset.
    ok("S=$($SSH $R 'zfs send -RPnv backup/data@c' | awk '/^size/ {print $2}'); script -q -e -c \"$SSH $R "
       "'zfs send -R backup/data@c' | pv -r -p -s $S | zfs recv -Fu tank/restored\" /dev/null");
    EXPECT_EQ(digest(local, "tank/restored"), digest(local, "tank/data"));
    ok("mkdir -p /mnt/tank/restored && zfs set mountpoint=/mnt/tank/restored tank/restored");
    EXPECT_EQ(ok("zfs get -H -o value mountpoint tank/restored"), "/mnt/tank/restored\n");
}

TEST(Testbed, RemoteFaultKnobFailsTheTransferAndKeepsTheDestination)
{
    ok("zfs snapshot tank/data@f1; zfs send tank/data@f1 | ($SSH $R 'zfs recv backup/faulty')");
    ok("echo fresh > \"$(zfs sim-path tank/data)/fresh.txt\"; zfs snapshot tank/data@f2");
    const std::string before = digest(env("ZFSREP_TB_REMOTE_ROOT"), "backup/faulty");
    ok("printf 'cannot receive incremental stream: simulated failure\\n' > "
       "\"$ZFSREP_TB_REMOTE_ROOT/faults/fail-next-recv\"");
    Result r = bash("script -q -e -c \"zfs send -i @f1 tank/data@f2 | pv -r -p -s 1000 | $SSH $R "
                    "'zfs recv backup/faulty'\" /dev/null");
    EXPECT_NE(r.rc, 0);
    EXPECT_NE(r.out.find("cannot receive incremental stream: simulated failure"), std::string::npos) << r.out;
    EXPECT_EQ(digest(env("ZFSREP_TB_REMOTE_ROOT"), "backup/faulty"), before);
    ok("zfs send -i @f1 tank/data@f2 | $SSH $R 'zfs recv backup/faulty'");
    EXPECT_EQ(digest(env("ZFSREP_TB_REMOTE_ROOT"), "backup/faulty"), digest(env("ZFS_SIM_ROOT"), "tank/data"));
}
