// Inside the testbed (run through testbed/run-in-testbed.sh): a resumable
// receive on the remote host over ssh, the way a replication service runs
// it. A cut send leaves a token there, `zfs send -t` sends only the rest, and
// the data is compared at both ends; a stalled remote receive keeps the
// pipeline alive but silent; the replica refuses writes.
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

// Runs a bash script with $SSH and $R set for the remote host.
Result bash(const std::string &script)
{
    const std::string dir = env("ZFSREP_TB_DIR");
    {
        std::ofstream f(dir + "/sim-e2e.sh");
        f << "set -o pipefail\n"
             "export SSHPASS=\"$ZFSREP_TB_SSH_PASSWORD\"\n"
             "R=\"$ZFSREP_TB_SSH_USER@$ZFSREP_TB_SSH_HOST\"\n"
             "SSH=\"sshpass -e ssh -p $ZFSREP_TB_SSH_PORT -o StrictHostKeyChecking=no\"\n"
          << script << "\n";
    }
    const std::string cmd =
        "/bin/bash '" + dir + "/sim-e2e.sh' </dev/null >'" + dir + "/sim-e2e-out' 2>'" + dir + "/sim-e2e-err'";
    const int status = system(cmd.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(dir + "/sim-e2e-out"),
            slurp(dir + "/sim-e2e-err")};
}

std::string ok(const std::string &script)
{
    Result r = bash(script);
    EXPECT_EQ(r.rc, 0) << script << "\nstderr: " << r.err;
    return r.out;
}

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// sha256 of every file below a dataset's (or snapshot's) data.
std::string digest(const std::string &root, const std::string &dataset)
{
    return ok("cd \"$(ZFS_SIM_ROOT=" + root + " zfs sim-path " + dataset +
              ")\" && find . -type f -print0 | sort -z | xargs -0 sha256sum");
}

const char *kRemoteRecv = "'/usr/sbin/zfs recv -s -u -x mountpoint -o readonly=on backup/data'";

} // namespace

TEST(SimResumeOverSsh, CutSendResumesWithTheRestAndIdenticalData)
{
    ASSERT_FALSE(env("ZFSREP_TB_DIR").empty()) << "must run inside the testbed";
    ok("zfs snapshot tank/data@a");
    const uint64_t full = std::stoull(trim(ok("zfs send -w tank/data@a | wc -c")));
    ok("echo " + std::to_string(full * 6 / 10) + " > \"$ZFS_SIM_ROOT/faults/send-cut\"");
    Result cut = bash(std::string("zfs send -w tank/data@a | $SSH $R ") + kRemoteRecv);
    ok("rm \"$ZFS_SIM_ROOT/faults/send-cut\"");
    EXPECT_NE(cut.rc, 0);
    EXPECT_NE(cut.err.find("Partially received snapshot is saved."), std::string::npos) << cut.err;
    const std::string token = trim(ok("$SSH $R 'zfs get -H -p -o value receive_resume_token backup/data'"));
    ASSERT_EQ(token.compare(0, 2, "1-"), 0) << token;

    // The rest is counted where it arrives, on the remote side.
    const std::string counted = env("ZFSREP_TB_REMOTE_ROOT") + "/resumed-bytes";
    ok("zfs send -t " + token + " | $SSH $R \"tee >(wc -c > '" + counted + "') | " +
       "/usr/sbin/zfs recv -s -u -x mountpoint -o readonly=on backup/data\"");
    // wc writes once tee has closed its pipe, which may be after ssh returned.
    const uint64_t rest = std::stoull(
        trim(ok("for i in $(seq 50); do [ -s '" + counted + "' ] && break; sleep 0.1; done; cat '" + counted + "'")));
    EXPECT_LT(rest, full / 2) << "the resumed send repeats less than half of the stream";
    EXPECT_GT(rest, full / 3);
    EXPECT_EQ(digest(env("ZFSREP_TB_REMOTE_ROOT"), "backup/data@a"), digest(env("ZFS_SIM_ROOT"), "tank/data@a"));
    EXPECT_EQ(ok("$SSH $R 'zfs get -H -o value receive_resume_token,readonly,mounted backup/data'"), "-\non\nno\n");

    // The replica refuses writes, so the next incremental still applies.
    Result write = bash("echo x | $SSH $R 'zfs sim-write backup/data x.txt'");
    EXPECT_EQ(write.rc, 1);
    EXPECT_EQ(write.err, "/backup/data/x.txt: Read-only file system\n");
    ok("head -c 200000 /dev/urandom > \"$(zfs sim-path tank/data)/new.bin\"; zfs snapshot tank/data@b");
    ok(std::string("zfs send -w -i @a tank/data@b | $SSH $R ") + kRemoteRecv);
    EXPECT_EQ(digest(env("ZFSREP_TB_REMOTE_ROOT"), "backup/data"), digest(env("ZFS_SIM_ROOT"), "tank/data"));
}

TEST(SimResumeOverSsh, StalledRemoteReceiveHangsUntilKilled)
{
    ASSERT_FALSE(env("ZFSREP_TB_DIR").empty()) << "must run inside the testbed";
    ok("zfs snapshot tank/data@s");
    ok("echo 100000 > \"$ZFSREP_TB_REMOTE_ROOT/faults/recv-stall\"");
    // Bounded: two seconds of watching, then the pipeline is killed by pid.
    EXPECT_EQ(ok("zfs send tank/data@s | $SSH $R '/usr/sbin/zfs recv backup/stalled' & pid=$!\n"
                 "sleep 2; kill -0 $pid && echo alive; kill $pid; wait $pid 2>/dev/null; true"),
              "alive\n");
    ok("rm \"$ZFSREP_TB_REMOTE_ROOT/faults/recv-stall\"");
}
