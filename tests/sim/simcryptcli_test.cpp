// Encrypted datasets through the simulator program: creation, the
// encryption properties, raw replication (-w with -R, -I, -i and resumed
// with -t) that keeps the data encrypted and the key unloaded on the
// receiving side, load-key/unload-key, and OpenZFS' refusals of plain
// sends and receives that would lose or break the encryption.
#include "simshell.h"

#include <gtest/gtest.h>

namespace {

// tank/enc (an encryption root, key in a file) with tank/enc/child sharing
// its key, both holding files, snapshots @a and @b; plain pool backup.
const char *kSetup = R"(set -e
zpool create tank 1G
zpool create backup 1G
printf 'correct horse battery\n' > key
zfs create -o encryption=on -o keyformat=passphrase -o keylocation="file://$PWD/key" tank/enc
zfs create tank/enc/child
printf 'top secret\n' > "$(zfs sim-path tank/enc)/s.txt"
head -c 300000 /dev/urandom > "$(zfs sim-path tank/enc/child)/blob"
zfs snapshot -r tank/enc@a
printf 'more\n' > "$(zfs sim-path tank/enc/child)/more.txt"
zfs snapshot -r tank/enc@b
)";

const char *kCryptProps = "encryption,keylocation,keyformat,encryptionroot,keystatus";

} // namespace

TEST(SimCrypt, CreatedDatasetsShowTheirEncryption)
{
    SimShell sh;
    sh.ok(kSetup);
    const std::string dir = sh.dir();
    EXPECT_EQ(sh.ok(std::string("zfs get -H -o name,property,value,source ") + kCryptProps +
                    " tank tank/enc tank/enc/child tank/enc@a"),
              "tank\tencryption\toff\tdefault\n"
              "tank\tkeylocation\tnone\tdefault\n"
              "tank\tkeyformat\tnone\tdefault\n"
              "tank\tencryptionroot\t-\t-\n"
              "tank\tkeystatus\tnone\t-\n"
              "tank/enc\tencryption\taes-256-gcm\t-\n"
              "tank/enc\tkeylocation\tfile://" + dir + "/key\tlocal\n"
              "tank/enc\tkeyformat\tpassphrase\t-\n"
              "tank/enc\tencryptionroot\ttank/enc\t-\n"
              "tank/enc\tkeystatus\tavailable\t-\n"
              "tank/enc@a\tencryption\taes-256-gcm\t-\n"
              "tank/enc@a\tkeylocation\t-\t-\n"
              "tank/enc@a\tkeyformat\t-\t-\n"
              "tank/enc@a\tencryptionroot\ttank/enc\t-\n"
              "tank/enc@a\tkeystatus\tavailable\t-\n"
              "tank/enc/child\tencryption\taes-256-gcm\t-\n"
              "tank/enc/child\tkeylocation\tnone\tdefault\n"
              "tank/enc/child\tkeyformat\tpassphrase\t-\n"
              "tank/enc/child\tencryptionroot\ttank/enc\t-\n"
              "tank/enc/child\tkeystatus\tavailable\t-\n");
    EXPECT_EQ(sh.ok("zfs list -H -o name,encryption,keystatus,mounted -r tank/enc"),
              "tank/enc\taes-256-gcm\tavailable\tyes\ntank/enc/child\taes-256-gcm\tavailable\tyes\n");
    EXPECT_EQ(sh.ok("echo 'from standard input' | zfs create -o encryption=aes-128-gcm -o keyformat=passphrase "
                    "tank/prompted; zfs get -H -o value encryption,keylocation tank/prompted"),
              "aes-128-gcm\nprompt\n");

    struct Row {
        const char *command;
        const char *err;
    };
    const std::vector<Row> rows = {
        {"zfs create -o encryption=on tank/x", "cannot create 'tank/x': Keyformat required for new encryption root.\n"},
        {"echo short | zfs create -o encryption=on -o keyformat=passphrase tank/x",
         "cannot create 'tank/x': Passphrase too short (min 8).\n"},
        {"zfs create -o keyformat=hex tank/x",
         "cannot create 'tank/x': Encryption must be turned on to set encryption properties.\n"},
        {"zfs set keylocation=prompt tank",
         "cannot set property for 'tank': keylocation must be 'none' for unencrypted datasets\n"},
        {"zfs set keylocation=none tank/enc",
         "cannot set property for 'tank/enc': keylocation must not be 'none' for encrypted datasets\n"},
        {"zfs set encryption=off tank/enc", "cannot set property for 'tank/enc': 'encryption' is readonly\n"},
        {"zfs rename tank/enc/child tank/child",
         "cannot rename 'tank/enc/child': cannot move encrypted child outside of its encryption root\n"},
    };
    for (const auto &r : rows) {
        SimShell::Result res = sh.run(r.command);
        EXPECT_EQ(res.rc, 1) << r.command;
        EXPECT_EQ(res.err, r.err) << r.command;
    }
    EXPECT_EQ(sh.ok("zfs list -H -o name -r tank"), "tank\ntank/enc\ntank/enc/child\ntank/prompted\n");
}

TEST(SimCrypt, PlainSendsOfEncryptedDataAreRefusedAsOpenZfsDoes)
{
    SimShell sh;
    sh.ok(std::string(kSetup) + "zfs send -w -R tank/enc@a | zfs recv -u backup/raw\n"
                                "zfs send tank/enc@a | zfs recv -u backup/plain\n");
    struct Row {
        const char *command;
        const char *err;
    };
    const std::vector<Row> rows = {
        {"zfs send -R tank/enc@a",
         "cannot send tank/enc@a: encrypted dataset tank/enc may not be sent with properties without the raw flag\n"},
        {"zfs send -p tank/enc/child@a",
         "cannot send tank/enc/child@a: encrypted dataset tank/enc/child may not be sent with properties without "
         "the raw flag\n"},
        {"zfs send backup/raw@a", "warning: cannot send 'backup/raw@a': dataset key must be loaded\n"},
        {"zfs send -I @a tank/enc@b | zfs recv -u backup/raw",
         "cannot receive incremental stream: inherited key must be loaded\n"},
        {"zfs send -w -I @a tank/enc@b | zfs recv -u backup/plain",
         "cannot receive incremental stream: cannot perform raw receive on top of existing unencrypted dataset\n"},
        {"zfs create backup/empty; zfs send -w tank/enc@a | zfs recv -F backup/empty",
         "cannot receive new filesystem stream: zfs receive -F cannot be used to destroy an encrypted filesystem or "
         "overwrite an unencrypted one with an encrypted one\n"},
        {"zfs send -w tank/enc@a | zfs recv -o keylocation=prompt backup/x",
         "cannot receive new filesystem stream: encryption property 'keylocation' cannot be set or excluded for raw "
         "streams.\n"},
    };
    for (const auto &r : rows) {
        SimShell::Result res = sh.run(r.command + std::string(" >/dev/null"));
        EXPECT_EQ(res.rc, 1) << r.command;
        EXPECT_EQ(res.err, r.err) << r.command;
    }
    // A raw send needs no key; a plain one of a loaded key is allowed.
    EXPECT_EQ(sh.run("zfs send -w -I @a tank/enc@b > /dev/null && zfs send -I @a tank/enc@b > /dev/null").rc, 0);
    EXPECT_EQ(sh.ok("zfs get -H -o value encryption,mounted backup/plain"), "off\nno\n")
        << "a plain stream arrives decrypted";
    EXPECT_TRUE(SimShell::tree(sh.data("backup/plain@a")) == SimShell::tree(sh.data("tank/enc@a")));
}

TEST(SimCrypt, RawReplicationKeepsTheKeyUnloadedUntilLoaded)
{
    SimShell sh;
    sh.ok(kSetup);
    sh.ok("zfs send -w -R tank/enc@a | zfs recv -u backup/raw");
    EXPECT_EQ(sh.ok("zfs list -H -o name,encryption,keystatus,encryptionroot,keylocation,mounted -r backup/raw"),
              "backup/raw\taes-256-gcm\tunavailable\tbackup/raw\tprompt\tno\n"
              "backup/raw/child\taes-256-gcm\tunavailable\tbackup/raw\tnone\tno\n");
    sh.ok("zfs send -w -R -I @a tank/enc@b | zfs recv -u backup/raw");
    EXPECT_EQ(sh.ok("zfs list -H -t snapshot -o name -r backup/raw"),
              "backup/raw@a\nbackup/raw@b\nbackup/raw/child@a\nbackup/raw/child@b\n");
    EXPECT_TRUE(SimShell::tree(sh.data("backup/raw/child@b")) == SimShell::tree(sh.data("tank/enc/child@b")));

    SimShell::Result child = sh.run("zfs load-key backup/raw/child");
    EXPECT_EQ(child.err, "Key load error: Keys must be loaded for encryption root of 'backup/raw/child' "
                         "(backup/raw).\n");
    EXPECT_EQ(sh.run("echo 'wrong words!' | zfs load-key backup/raw").err,
              "Key load error: Incorrect key provided for 'backup/raw'.\n");
    EXPECT_EQ(sh.ok("zfs load-key -r -L prompt backup/raw < key"), "1 / 1 key(s) successfully loaded\n");
    EXPECT_EQ(sh.ok("zfs get -H -o value keystatus backup/raw/child"), "available\n");
    EXPECT_EQ(sh.run("zfs load-key -L prompt backup/raw < key").err,
              "Key load error: Key already loaded for 'backup/raw'.\n");
    sh.ok("zfs send backup/raw/child@b | zfs recv -u backup/opened");
    EXPECT_TRUE(SimShell::tree(sh.data("backup/opened")) == SimShell::tree(sh.data("tank/enc/child@b")))
        << "with the key loaded the replica sends plain data";
    sh.ok("zfs unload-key backup/raw");
    EXPECT_EQ(sh.run("zfs unload-key backup/raw").err, "Key unload error: Key already unloaded for 'backup/raw'.\n");
    EXPECT_EQ(sh.run("zfs unload-key tank/enc").err, "Key unload error: 'tank/enc' is busy.\n")
        << "mounted file systems hold the key";

    // A plain receive below an encrypted parent is encrypted with its key.
    sh.ok("zfs send tank/enc/child@a | zfs recv tank/enc/copy");
    EXPECT_EQ(sh.ok("zfs get -H -o value encryption,encryptionroot,keystatus tank/enc/copy"),
              "aes-256-gcm\ntank/enc\navailable\n");
    EXPECT_EQ(sh.run("zfs send tank/enc/child@a | zfs recv backup/raw/copy").err,
              "cannot receive new filesystem stream: inherited key must be loaded\n");
}

TEST(SimCrypt, InterruptedRawReceiveResumesRaw)
{
    SimShell sh;
    sh.ok(std::string(kSetup) + "zfs send -w tank/enc/child@a | zfs recv -u backup/c\n"
                                "head -c 2000000 /dev/urandom > \"$(zfs sim-path tank/enc/child)/big\"\n"
                                "zfs snapshot tank/enc/child@c\n");
    SimShell::writeFile(sh.root() + "/faults/send-cut", "400000\n");
    EXPECT_EQ(sh.run("zfs send -w -i @a tank/enc/child@c | zfs recv -s -u backup/c").rc, 1);
    sh.ok("rm " + sh.root() + "/faults/send-cut");
    std::string token = sh.ok("zfs get -H -o value receive_resume_token backup/c");
    while (!token.empty() && token.back() == '\n')
        token.pop_back();
    ASSERT_EQ(token.rfind("1-", 0), 0u) << token;
    EXPECT_NE(sh.ok("zfs send -nv -t " + token).find("\trawok\n"), std::string::npos);
    sh.ok("zfs send -t " + token + " | zfs recv -s -u backup/c");
    EXPECT_TRUE(SimShell::tree(sh.data("backup/c@c")) == SimShell::tree(sh.data("tank/enc/child@c")));
    EXPECT_EQ(sh.ok("zfs get -H -o value encryption,keystatus,receive_resume_token backup/c"),
              "aes-256-gcm\nunavailable\n-\n");
}

TEST(SimCrypt, PlainStreamsCanBeEncryptedOnReceive)
{
    SimShell sh;
    sh.ok("set -e\nzpool create tank 1G\nzpool create backup 1G\nprintf 'replica passphrase\\n' > key\n"
          "zfs create tank/d\nzfs create tank/d/c\necho x > \"$(zfs sim-path tank/d/c)/x\"\n"
          "zfs snapshot -r tank/d@a\nzfs snapshot -r tank/d@b\n");
    sh.ok("zfs send -R tank/d@a | zfs recv -u -o encryption=on -o keyformat=passphrase "
          "-o keylocation=\"file://$PWD/key\" backup/e");
    EXPECT_EQ(sh.ok("zfs get -H -o name,value encryptionroot,keystatus -t filesystem -r backup/e"),
              "backup/e\tbackup/e\nbackup/e\tavailable\nbackup/e/c\tbackup/e\nbackup/e/c\tavailable\n")
        << "the top becomes an encryption root, its children share its key";
    EXPECT_EQ(sh.ok("zfs get -H -o value,source keylocation backup/e"), "file://" + sh.dir() + "/key\tlocal\n");
    // A package's incremental streams ignore the encryption options.
    sh.ok("zfs send -R -I @a tank/d@b | zfs recv -u -o encryption=on backup/e");
    EXPECT_EQ(sh.ok("zfs list -H -o name -t snapshot backup/e/c"), "backup/e/c@a\nbackup/e/c@b\n");
    struct Row {
        const char *command;
        const char *err;
    };
    const std::vector<Row> rows = {
        {"zfs send -i @a tank/d/c@b | zfs recv -o encryption=on backup/e/c",
         "cannot receive incremental stream: encryption property 'encryption' cannot be set for incremental "
         "streams.\n"},
        {"zfs send tank/d@a | zfs recv -o encryption=on -o keyformat=passphrase backup/f",
         "cannot receive new filesystem stream: Cannot use 'prompt' keylocation because stdin is in use.\n"},
        {"zfs send tank/d@a | zfs recv -o encryption=on backup/f",
         "cannot receive new filesystem stream: Keyformat required for new encryption root.\n"},
        {"zfs send tank/d@a | zfs recv -o encryption=rot13 backup/f",
         "cannot receive: 'encryption' must be one of 'on | off | aes-128-ccm | aes-192-ccm | aes-256-ccm | "
         "aes-128-gcm | aes-192-gcm | aes-256-gcm'\n"},
    };
    for (const auto &r : rows) {
        SimShell::Result res = sh.run(r.command);
        EXPECT_EQ(res.rc, 1) << r.command;
        EXPECT_EQ(res.err, r.err) << r.command;
    }
    EXPECT_EQ(sh.run("zfs list backup/f").rc, 1) << "nothing was created";
    sh.ok("zfs send -w -R backup/e@b | zfs recv -u backup/g");
    EXPECT_EQ(sh.ok("zfs get -H -o value keystatus backup/g/c; zfs load-key -L \"file://$PWD/key\" backup/g; "
                    "zfs get -H -o value keystatus backup/g/c"),
              "unavailable\navailable\n")
        << "the replica's own passphrase opens a raw copy of it";
}

TEST(SimCrypt, ARawIncrementalOntoAReplicaWithALaterSnapshotIsRefused)
{
    // As OpenZFS: without -F, a raw incremental needs its base to be the
    // destination's newest snapshot, even when nothing was written since.
    SimShell sh;
    sh.ok(std::string(kSetup) + "zfs send -w tank/enc/child@a | zfs recv -u backup/c\n"
                                "zfs snapshot backup/c@manual\n");
    const SimShell::Result refused = sh.run("zfs send -w -i @a tank/enc/child@b | zfs recv -u backup/c");
    EXPECT_EQ(refused.rc, 1);
    EXPECT_EQ(refused.err, "cannot receive incremental stream: destination backup/c has been modified\n"
                           "since most recent snapshot\n");
    EXPECT_EQ(sh.ok("zfs get -H -p -o value written backup/c"), "0\n") << "no data was written, only a snapshot taken";
    sh.ok("zfs destroy backup/c@manual");
    EXPECT_EQ(sh.run("zfs send -w -i @a tank/enc/child@b | zfs recv -u backup/c").rc, 0);
    // Data written to a plain file system shows in `written`.
    EXPECT_EQ(sh.ok("zfs create backup/w; zfs snapshot backup/w@s; zfs get -H -p -o value written backup/w"), "0\n");
    EXPECT_NE(sh.ok("printf x > \"$(zfs sim-path backup/w)/new\"; zfs get -H -p -o value written backup/w"), "0\n");
}
