// Pure parts of the server's bounds and access control: the limits read from
// the configuration, the membership decision for a peer, and the mode and
// group of the socket file in both access modes.
#include "tq2localserver.h"
#include "tq2peeraccess.h"
#include "tq2serverlimits.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct LimitsRow {
    const char *name;
    const char *config;
    int maxConnections;
    qint64 maxRequestBytes;
    qint64 maxPendingBytes;
    int partialTimeoutMs;
    int warnings;
    int maxPeerConnections = 64;
    qint64 maxPeerPendingBytes = 16777216;
    int idleTimeoutMs = 60000;
};

const LimitsRow kLimitRows[] = {
    {"EmptyConfigGivesDefaults", "{}", 256, 4194304, 67108864, 30000, 0},
    {"NumbersAreTaken", R"({"maxconnections":10,"maxrequestbytes":2048,"maxpendingbytes":4096,"partialtimeout":5})",
     10, 2048, 4096, 5000, 0, 64, 2048},
    {"NumericTextIsTaken", R"({"maxconnections":" 12 ","partialtimeout":"0.25"})", 12, 4194304, 67108864, 250, 0},
    {"ZeroFallsBackWithAWarning", R"({"maxconnections":0})", 256, 4194304, 67108864, 30000, 1},
    {"NegativeFallsBackWithAWarning", R"({"maxpendingbytes":-5})", 256, 4194304, 67108864, 30000, 1},
    {"WordFallsBackWithAWarning", R"({"partialtimeout":"soon","maxrequestbytes":true})", 256, 4194304, 67108864,
     30000, 2},
    {"RequestSizeIsCappedAtTheFormatLimit", R"({"maxrequestbytes":1e12})", 256, 67108864, 67108864, 30000, 1, 64,
     67108864},
    {"NullIsLikeMissing", R"({"maxconnections":null})", 256, 4194304, 67108864, 30000, 0},
    {"TimeoutBelowAMillisecondFallsBack", R"({"partialtimeout":0.0001})", 256, 4194304, 67108864, 30000, 1},
    {"PeerKeysAreTaken", R"({"maxpeerconnections":8,"maxpeerpendingbytes":8388608,"idletimeout":"2.5"})", 256,
     4194304, 67108864, 30000, 0, 8, 8388608, 2500},
    {"PeerShareIsAQuarterOfThePendingBound", R"({"maxpendingbytes":400000000})", 256, 4194304, 400000000, 30000, 0,
     64, 100000000},
    {"PeerShareHoldsAtLeastOneRequest", R"({"maxrequestbytes":1048576,"maxpendingbytes":2097152})", 256, 1048576,
     2097152, 30000, 0, 64, 1048576},
    {"PeerShareBelowOneRequestFallsBackWithAWarning", R"({"maxpeerpendingbytes":1000})", 256, 4194304, 67108864,
     30000, 1, 64, 16777216},
    {"IdleTimeoutZeroFallsBackWithAWarning", R"({"idletimeout":0,"maxpeerconnections":-1})", 256, 4194304,
     67108864, 30000, 2, 64, 16777216, 60000},
};

class LimitsFromConfig : public ::testing::TestWithParam<LimitsRow>
{
};

TEST_P(LimitsFromConfig, ReadsEachKey)
{
    const LimitsRow &row = GetParam();
    QStringList warnings;
    const TQ2ServerLimits limits =
        TQ2ServerLimits::fromConfig(QJsonDocument::fromJson(row.config).object(), &warnings);
    EXPECT_EQ(limits.maxConnections, row.maxConnections);
    EXPECT_EQ(limits.maxRequestBytes, row.maxRequestBytes);
    EXPECT_EQ(limits.maxPendingBytes, row.maxPendingBytes);
    EXPECT_EQ(limits.partialTimeoutMs, row.partialTimeoutMs);
    EXPECT_EQ(limits.maxPeerConnections, row.maxPeerConnections);
    EXPECT_EQ(limits.maxPeerPendingBytes, row.maxPeerPendingBytes);
    EXPECT_EQ(limits.idleTimeoutMs, row.idleTimeoutMs);
    EXPECT_EQ(warnings.size(), row.warnings) << warnings.join("; ").toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, LimitsFromConfig, ::testing::ValuesIn(kLimitRows),
                         [](const auto &info) { return std::string(info.param.name); });

struct PeerRow {
    const char *name;
    bool restricted;
    uid_t uid;
    gid_t primary;
    std::vector<gid_t> groups;
    bool admitted;
};

// The group "root" exists everywhere (gid 0); members are checked by gid.
const PeerRow kPeerRows[] = {
    {"UnrestrictedAdmitsAnyone", false, 65534, 65534, {65534}, true},
    {"RootIsAlwaysAdmitted", true, 0, 65534, {}, true},
    {"PrimaryGroupAdmits", true, 1000, 0, {1000}, true},
    {"SupplementaryGroupAdmits", true, 1000, 1000, {1000, 27, 0}, true},
    {"OutsiderIsRefused", true, 1000, 1000, {1000, 27}, false},
    {"NobodyIsRefused", true, 65534, 65534, {65534}, false},
    {"UnknownUserWithoutGroupsIsRefused", true, 4242, 4242, {}, false},
};

class PeerDecision : public ::testing::TestWithParam<PeerRow>
{
};

TEST_P(PeerDecision, AdmitsRootAndMembersOnly)
{
    const PeerRow &row = GetParam();
    const TQ2PeerAccess access = row.restricted ? TQ2PeerAccess::forGroup("root") : TQ2PeerAccess();
    ASSERT_TRUE(access.isValid());
    EXPECT_EQ(access.admits(row.uid, row.primary, row.groups), row.admitted);
}

INSTANTIATE_TEST_SUITE_P(Table, PeerDecision, ::testing::ValuesIn(kPeerRows),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(PeerAccess, UnknownGroupAdmitsOnlyRootAndKeepsTheServerFromStarting)
{
    const TQ2PeerAccess access = TQ2PeerAccess::forGroup("zr-no-such-group-7f3a");
    EXPECT_TRUE(access.isRestricted());
    EXPECT_FALSE(access.isValid());
    EXPECT_TRUE(access.admits(0, 0, {}));
    EXPECT_FALSE(access.admits(1000, 1000, {1000}));

    QTemporaryDir dir;
    TQ2LocalServer server;
    server.setAccess(access);
    EXPECT_FALSE(server.start(dir.filePath("s.sock")));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("s.sock")));
}

TEST(PeerAccess, CredentialsComeFromTheConnectedProcess)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    TQ2PeerAccess::Credentials peer;
    ASSERT_TRUE(TQ2PeerAccess::credentialsOf(pair[0], peer, true));
    EXPECT_EQ(peer.uid, ::geteuid());
    EXPECT_EQ(peer.gid, ::getegid());
    std::vector<gid_t> own(size_t(std::max(::getgroups(0, nullptr), 0)));
    own.resize(size_t(std::max(::getgroups(int(own.size()), own.data()), 0)));
    std::sort(own.begin(), own.end());
    std::vector<gid_t> seen = peer.groups;
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, own) << "the supplementary groups of this process, as the kernel recorded them";

    TQ2PeerAccess::Credentials withoutGroups;
    ASSERT_TRUE(TQ2PeerAccess::credentialsOf(pair[0], withoutGroups, false));
    EXPECT_TRUE(withoutGroups.groups.empty());
    ::close(pair[0]);
    ::close(pair[1]);

    const int notASocket = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(notASocket, 0);
    EXPECT_FALSE(TQ2PeerAccess::credentialsOf(notASocket, peer, true));
    ::close(notASocket);
}

TEST(SocketFile, GroupModeIsOwnerAndGroupOnly)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "SKIPPED LOUDLY: giving the socket a group needs root";
    QTemporaryDir dir;
    const QString path = dir.filePath("run/s.sock");
    TQ2LocalServer server;
    server.setAccess(TQ2PeerAccess::forGroup("daemon"));
    ASSERT_TRUE(server.peerAccess().isValid()) << "Debian has a group 'daemon'";
    ASSERT_TRUE(server.start(path));
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, mode_t(0660));
    EXPECT_EQ(st.st_gid, server.peerAccess().groupId());
    EXPECT_EQ(QDir(dir.filePath("run")).entryList(QDir::AllEntries | QDir::System | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"s.sock"})
        << "the staging directory was left behind";
    server.stop();
    EXPECT_FALSE(QFileInfo::exists(path));
}

TEST(SocketFile, StopLeavesAFileThatIsNoLongerItsOwn)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("s.sock");
    TQ2LocalServer first;
    ASSERT_TRUE(first.start(path));
    EXPECT_EQ(QFileInfo(path).permissions() & QFile::WriteOther, QFile::WriteOther);
    ASSERT_TRUE(QFile::remove(path));
    TQ2LocalServer second;
    ASSERT_TRUE(second.start(path));
    first.stop(); // must not remove the second server's socket
    EXPECT_TRUE(QFileInfo::exists(path));
}

} // namespace
