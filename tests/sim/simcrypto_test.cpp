// Pure parts of the simulator's encryption and release knob: key material
// checks, the encryption a created dataset gets, the release text, and the
// usage text of releases without JSON output.
#include "simcrypto.h"
#include "simfiles.h"
#include "simusage.h"
#include "simversion.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

using namespace zsim;

namespace {

class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/simcrypto-XXXXXX";
        m_path = mkdtemp(tmpl);
    }
    ~TempDir()
    {
        std::string ignored;
        SimFiles::removeTree(m_path, ignored);
    }
    std::string file(const std::string &name, const std::string &content) const
    {
        std::string error;
        const std::string path = m_path + "/" + name;
        EXPECT_TRUE(SimFiles::writeAtomic(path, content, error)) << error;
        return "file://" + path;
    }

private:
    std::string m_path;
};

} // namespace

TEST(SimCrypto, KeyMaterialIsCheckedByFormat)
{
    TempDir dir;
    const std::string hex64(64, 'a');
    struct Row {
        const char *name;
        const char *keyformat;
        std::string content;
        bool newKey;
        const char *reason; // "" when accepted
    };
    const std::vector<Row> rows = {
        {"passphrase with newline", "passphrase", "correct horse\n", true, ""},
        {"short passphrase", "passphrase", "short\n", true, "Passphrase too short (min 8)."},
        {"short passphrase loads an old key", "passphrase", "short\n", false, ""},
        {"long passphrase", "passphrase", std::string(513, 'x'), true, "Passphrase too long (max 512)."},
        {"hex key", "hex", hex64 + "\n", true, ""},
        {"short hex key", "hex", "abcd", true, "Hex key too short (expected 64)."},
        {"hex key with a bad digit", "hex", std::string(63, 'a') + "g", true, "Invalid hex character detected."},
        {"raw key", "raw", std::string(32, '\n'), true, ""},
        {"long raw key", "raw", std::string(33, 'k'), true, "Raw key too long (expected 32)."},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::string digest, reason;
        const bool ok = SimCrypto::readKey(r.keyformat, dir.file("k", r.content), r.newKey, digest, reason);
        EXPECT_EQ(ok, std::string(r.reason).empty()) << reason;
        EXPECT_EQ(reason, r.reason);
        EXPECT_EQ(digest.size(), ok ? 16u : 0u);
    }
    std::string a, b, c, reason;
    ASSERT_TRUE(SimCrypto::readKey("passphrase", dir.file("a", "same words\n"), true, a, reason));
    ASSERT_TRUE(SimCrypto::readKey("passphrase", dir.file("b", "same words"), true, b, reason));
    ASSERT_TRUE(SimCrypto::readKey("passphrase", dir.file("c", "other words"), true, c, reason));
    EXPECT_EQ(a, b) << "the line end is not part of a passphrase";
    EXPECT_NE(a, c);
    EXPECT_FALSE(SimCrypto::readKey("passphrase", "file:///nonexistent/key", true, a, reason));
    EXPECT_EQ(reason, "Failed to open key material file: No such file or directory");
}

TEST(SimCrypto, CreatedDatasetsGetTheirOwnOrTheirParentsKey)
{
    TempDir dir;
    const std::string key = dir.file("key", "passphrase-1\n");
    SimPool pool;
    pool.name = "tank";
    SimDataset top;
    top.id = 1;
    top.name = "tank";
    pool.datasets.push_back(top);

    std::map<std::string, std::string> props = {
        {"encryption", "on"}, {"keyformat", "passphrase"}, {"keylocation", key}, {"compression", "lz4"}};
    SimCrypt rootCrypt;
    std::string reason;
    ASSERT_TRUE(SimCrypto::setUpCreate(pool, pool.dataset("tank"), 2, props, rootCrypt, reason)) << reason;
    EXPECT_EQ(rootCrypt.suite, "aes-256-gcm");
    EXPECT_EQ(rootCrypt.rootId, 2u);
    EXPECT_TRUE(rootCrypt.keyLoaded);
    EXPECT_EQ(props, (std::map<std::string, std::string>{{"keylocation", key}, {"compression", "lz4"}}))
        << "keylocation stays a local property, the others are taken out";

    SimDataset enc;
    enc.id = 2;
    enc.name = "tank/enc";
    enc.crypt = rootCrypt;
    pool.datasets.push_back(enc);
    SimDataset *encPtr = pool.dataset("tank/enc");

    struct Row {
        const char *name;
        const char *parent;
        std::map<std::string, std::string> props;
        const char *reason;
        const char *suite;
        uint64_t rootId;
    };
    const std::vector<Row> rows = {
        {"plain child of a plain parent", "tank", {}, "", "", 0},
        {"child inherits the key", "tank/enc", {}, "", "aes-256-gcm", 2},
        {"child with another suite, same key", "tank/enc", {{"encryption", "aes-128-ccm"}}, "", "aes-128-ccm", 2},
        {"unencrypted child of an encrypted parent", "tank/enc", {{"encryption", "off"}}, "", "", 0},
        {"suite without a key format", "tank", {{"encryption", "on"}}, "Keyformat required for new encryption root.",
         "", 0},
        {"key location without a key format", "tank/enc", {{"keylocation", key}},
         "Keyformat required for new encryption root.", "", 0},
        {"key format without encryption", "tank", {{"keyformat", "passphrase"}},
         "Encryption must be turned on to set encryption properties.", "", 0},
        {"bad suite", "tank", {{"encryption", "rot13"}},
         "'encryption' must be one of 'on | off | aes-128-ccm | aes-192-ccm | aes-256-ccm | aes-128-gcm | "
         "aes-192-gcm | aes-256-gcm'",
         "", 0},
        {"new root below a root", "tank/enc", {{"keyformat", "passphrase"}, {"keylocation", key}}, "", "aes-256-gcm",
         0},
    };
    for (auto r : rows) {
        SCOPED_TRACE(r.name);
        SimCrypt out;
        reason.clear();
        const bool ok = SimCrypto::setUpCreate(pool, pool.dataset(r.parent), 0, r.props, out, reason);
        EXPECT_EQ(ok, std::string(r.reason).empty());
        EXPECT_EQ(reason, r.reason);
        if (ok) {
            EXPECT_EQ(out.suite, r.suite);
            EXPECT_EQ(out.rootId, r.rootId);
        }
    }
    encPtr->crypt.keyLoaded = false;
    SimCrypt out;
    std::map<std::string, std::string> none;
    EXPECT_FALSE(SimCrypto::setUpCreate(pool, encPtr, 3, none, out, reason));
    EXPECT_EQ(reason, "encryption root's key is not loaded or provided");
}

TEST(SimVersion, ParsesReleaseTextsAndDropsJsonFromOldUsage)
{
    struct Row {
        const char *text;
        bool ok;
        const char *release;
        bool json;
    };
    const std::vector<Row> rows = {
        {"2.2.7\n", true, "2.2.7", false},  {" 2.1.11 ", true, "2.1.11", false},
        {"zfs-2.2.0-1", true, "2.2.0", false}, {"2.3", true, "2.3.0", true},
        {"2.4.99", true, "2.4.99", true},   {"3.0.0", true, "3.0.0", true},
        {"", false, "", false},             {"2", false, "", false},
        {"2.x", false, "", false},          {"2.2.7rc", false, "", false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        SimVersion v;
        ASSERT_EQ(SimVersion::parse(r.text, v), r.ok);
        if (!r.ok)
            continue;
        EXPECT_EQ(v.text(), r.release);
        EXPECT_EQ(v.hasJson(), r.json);
        EXPECT_EQ(v.versionLines(), "zfs-" + std::string(r.release) + "-1\nzfs-kmod-" + r.release + "-1\n");
    }
    EXPECT_EQ(SimUsage::withoutJson("\tlist [-Hp] [-j [--json-int]] [-r|-d max]\n\tversion [-j]\n"),
              "\tlist [-Hp] [-r|-d max]\n\tversion\n");
    EXPECT_EQ(SimUsage::withoutJson("\tlist [-gHLpPv] [-o property[,...]] [-j [--json-int, --json-pool-key-guid]] ...\n"),
              "\tlist [-gHLpPv] [-o property[,...]] ...\n");
}
