// Runs testbed/run-in-testbed.sh from the host, twice in a row and once
// stopped by SIGTERM, and checks that the host is left exactly as it was: no
// user, no mount, no process, no file outside the testbed's temporary
// directory, which is itself gone.
#include <gtest/gtest.h>

#include <csignal>
#include <dirent.h>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string trim(std::string s)
{
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

bool exists(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// What the testbed could leave behind on the host, captured for comparison.
std::map<std::string, std::string> hostState()
{
    std::map<std::string, std::string> s;
    for (const char *f : {"/etc/passwd", "/etc/shadow", "/etc/group", "/etc/gshadow"})
        s[f] = slurp(f);
    for (const char *p : {"/tarn", "/usr/sbin/zfs", "/usr/sbin/zpool", "/run/sshd", "/var/lib/zfs-sim",
                          "/root/.ssh", "/root/.ssh/known_hosts"})
        s[std::string("exists ") + p] = exists(p) ? "yes" : "no";
    s["/root/.ssh/known_hosts"] = slurp("/root/.ssh/known_hosts");
    s["mounts"] = slurp("/proc/self/mountinfo");
    return s;
}

// Processes whose command line holds `needle` or that run as `uid`.
std::string processesWith(const std::string &needle, const std::string &uid)
{
    std::string found;
    DIR *d = opendir("/proc");
    while (struct dirent *de = d ? readdir(d) : nullptr) {
        const std::string pid = de->d_name;
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::string cmdline = slurp("/proc/" + pid + "/cmdline");
        for (char &c : cmdline)
            if (c == '\0')
                c = ' ';
        const std::string status = slurp("/proc/" + pid + "/status");
        const bool byUid = !uid.empty() && status.find("\nUid:\t" + uid + "\t") != std::string::npos;
        if (cmdline.find(needle) != std::string::npos || byUid)
            found += pid + ": " + cmdline + "\n";
    }
    if (d)
        closedir(d);
    return found;
}

} // namespace

TEST(TestbedCleanup, TwoRunsLeaveTheHostAsItWas)
{
    if (geteuid() != 0) {
        fprintf(stderr, "SKIP: the testbed needs root\n");
        exit(77);
    }
    char tmpl[] = "/tmp/zfsrep-tb-cleanup.XXXXXX";
    const std::string results = mkdtemp(tmpl);
    setenv("ZFSREP_BINARY_DIR", ZFSREP_BINARY_DIR, 1);
    const std::string script = std::string(ZFSREP_SOURCE_DIR) + "/testbed/run-in-testbed.sh";
    // Inside: record the names, leave a local process, a remote ssh session
    // and files in /tarn and /mnt behind on purpose.
    const std::string inner =
        "echo \"$ZFSREP_TB_DIR\" > " + results + "/tbdir; echo \"$ZFSREP_TB_SSH_USER\" > " + results +
        "/user; id -u \"$ZFSREP_TB_SSH_USER\" > " + results +
        "/uid; touch /tarn/left /mnt/left; (exec -a zfsrep-cleanup-marker sleep 300) & "
        "SSHPASS=$ZFSREP_TB_SSH_PASSWORD sshpass -e ssh -p $ZFSREP_TB_SSH_PORT -o StrictHostKeyChecking=no "
        "$ZFSREP_TB_SSH_USER@127.0.0.1 'exec -a zfsrep-cleanup-remote sleep 300' & "
        "for i in $(seq 50); do pgrep -x -f 'zfsrep-cleanup-remote 300' >/dev/null && break; sleep 0.1; done; "
        "pgrep -x -f 'zfsrep-cleanup-remote 300' >/dev/null && pgrep -x -f 'zfsrep-cleanup-marker 300' >/dev/null && "
        "echo running > " + results + "/left; exit 3";
    const auto before = hostState();
    for (int run = 0; run < 2; run++) {
        SCOPED_TRACE(run);
        std::ofstream(results + "/inner.sh") << inner << "\n";
        const std::string cmd = "'" + script + "' bash '" + results + "/inner.sh' </dev/null >" + results + "/out 2>&1";
        int status = system(cmd.c_str());
        const int rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (rc == 77) {
            fprintf(stderr, "%s", slurp(results + "/out").c_str());
            exit(77);
        }
        EXPECT_EQ(rc, 3) << "the command's exit status passes through\n" << slurp(results + "/out");
        const std::string tbdir = trim(slurp(results + "/tbdir"));
        const std::string user = trim(slurp(results + "/user"));
        const std::string uid = trim(slurp(results + "/uid"));
        ASSERT_FALSE(tbdir.empty());
        ASSERT_FALSE(user.empty());
        ASSERT_FALSE(uid.empty());
        EXPECT_EQ(trim(slurp(results + "/left")), "running") << "the leftovers to clean up were there";
        unlink((results + "/left").c_str());
        EXPECT_FALSE(exists(tbdir)) << tbdir;
        const int getent = system(("getent passwd '" + user + "' >/dev/null").c_str());
        EXPECT_EQ(WEXITSTATUS(getent), 2) << "getent finds no user " << user;
        EXPECT_EQ(processesWith("zfsrep-cleanup-", uid), "");
        EXPECT_EQ(processesWith(tbdir, ""), "");
        const auto after = hostState();
        for (const auto &kv : before) {
            SCOPED_TRACE(kv.first);
            EXPECT_EQ(after.at(kv.first), kv.second);
        }
    }
    system(("rm -rf '" + results + "'").c_str());
}

TEST(TestbedCleanup, SigtermTearsDownARunningTestbed)
{
    if (geteuid() != 0) {
        fprintf(stderr, "SKIP: the testbed needs root\n");
        exit(77);
    }
    char tmpl[] = "/tmp/zfsrep-tb-cleanup.XXXXXX";
    const std::string results = mkdtemp(tmpl);
    setenv("ZFSREP_BINARY_DIR", ZFSREP_BINARY_DIR, 1);
    const std::string script = std::string(ZFSREP_SOURCE_DIR) + "/testbed/run-in-testbed.sh";
    std::ofstream(results + "/inner.sh") << "echo \"$ZFSREP_TB_DIR\" > " << results
                                         << "/tbdir.tmp; mv " << results << "/tbdir.tmp " << results
                                         << "/tbdir; exec -a zfsrep-cleanup-term sleep 300\n";
    const auto before = hostState();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        freopen((results + "/out").c_str(), "w", stdout);
        freopen((results + "/out").c_str(), "a", stderr);
        execl(script.c_str(), script.c_str(), "bash", (results + "/inner.sh").c_str(), (char *)nullptr);
        _exit(127);
    }
    // Bounded wait for the command to be running inside.
    for (int i = 0; i < 300 && !exists(results + "/tbdir"); i++)
        usleep(100000);
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 77) {
        fprintf(stderr, "%s", slurp(results + "/out").c_str());
        exit(77);
    }
    ASSERT_TRUE(exists(results + "/tbdir")) << slurp(results + "/out");
    usleep(200000);
    kill(pid, SIGTERM);
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 143) << slurp(results + "/out");
    const std::string tbdir = trim(slurp(results + "/tbdir"));
    EXPECT_FALSE(exists(tbdir)) << tbdir;
    EXPECT_EQ(processesWith("zfsrep-cleanup-term", ""), "");
    EXPECT_EQ(processesWith(tbdir, ""), "");
    const auto after = hostState();
    for (const auto &kv : before) {
        SCOPED_TRACE(kv.first);
        EXPECT_EQ(after.at(kv.first), kv.second);
    }
    system(("rm -rf '" + results + "'").c_str());
}
