// The file store behind datasets and snapshots: snapshots share unchanged
// files, never see later writes to the live files, and the live files can be
// compared with and reset to any snapshot.
#include "simdatasetstore.h"
#include "simfiles.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace zsim;

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void put(const std::string &path, const std::string &content, bool append = false)
{
    std::ofstream out(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    out << content;
}

uint64_t inode(const std::string &path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Path -> content (or "dir", "link:<target>") of every entry below `dir`.
std::map<std::string, std::string> tree(const std::string &dir)
{
    std::map<std::string, std::string> out;
    std::vector<SimEntry> entries;
    std::string error;
    EXPECT_TRUE(SimDatasetStore::walk(dir, entries, error)) << error;
    for (const auto &e : entries)
        out[e.path] = e.type == 'd' ? "dir" : e.type == 'l' ? "link:" + e.target : slurp(dir + "/" + e.path);
    return out;
}

class StoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/zfssim-store.XXXXXX";
        m_tmp = mkdtemp(tmpl);
        m_store = std::make_unique<SimDatasetStore>(m_tmp + "/ds");
        std::string error;
        ASSERT_TRUE(m_store->create(error)) << error;
        live = m_store->liveDir();
        put(live + "/a.txt", "alpha\n");
        put(live + "/b.bin", std::string(10000, 'b'));
        mkdir((live + "/dir").c_str(), 0755);
        put(live + "/dir/c.txt", "gamma\n");
        symlink("a.txt", (live + "/link").c_str());
    }
    void TearDown() override
    {
        SimFiles::makeWritable(m_tmp);
        std::string error;
        SimFiles::removeTree(m_tmp, error);
    }
    void capture(uint64_t id)
    {
        std::string error;
        ASSERT_TRUE(m_store->capture(id, error)) << error;
    }

    std::string m_tmp;
    std::unique_ptr<SimDatasetStore> m_store;
    std::string live;
};

} // namespace

TEST_F(StoreTest, SnapshotsShareUnchangedFilesAndNeverSeeLaterWrites)
{
    capture(1);
    const auto first = tree(m_store->snapDataDir(1));
    EXPECT_EQ(first, tree(live));
    EXPECT_NE(inode(m_store->snapDataDir(1) + "/a.txt"), inode(live + "/a.txt")) << "live files are separate copies";

    put(live + "/a.txt", "more\n", true); // in place, same inode
    capture(2);
    EXPECT_EQ(tree(m_store->snapDataDir(1)), first) << "writing through the live tree left snapshot 1 alone";
    EXPECT_EQ(slurp(m_store->snapDataDir(2) + "/a.txt"), "alpha\nmore\n");
    EXPECT_EQ(inode(m_store->snapDataDir(1) + "/b.bin"), inode(m_store->snapDataDir(2) + "/b.bin"))
        << "an unchanged file is shared";
    EXPECT_NE(inode(m_store->snapDataDir(1) + "/a.txt"), inode(m_store->snapDataDir(2) + "/a.txt"));
}

TEST_F(StoreTest, ModifiedSinceNoticesEveryKindOfChange)
{
    capture(1);
    EXPECT_FALSE(m_store->modifiedSince(1));
    const std::vector<std::pair<const char *, std::function<void()>>> changes = {
        {"append", [&] { put(live + "/a.txt", "x", true); }},
        {"rewrite with the same size", [&] { put(live + "/dir/c.txt", "GAMMA\n"); }},
        {"touch", [&] { utimensat(AT_FDCWD, (live + "/b.bin").c_str(), nullptr, 0); }},
        {"chmod", [&] { chmod((live + "/a.txt").c_str(), 0600); }},
        {"new file", [&] { put(live + "/new", ""); }},
        {"removed file", [&] { unlink((live + "/dir/c.txt").c_str()); }},
        {"new directory", [&] { mkdir((live + "/d2").c_str(), 0755); }},
        {"link retargeted", [&] { unlink((live + "/link").c_str()); symlink("b.bin", (live + "/link").c_str()); }},
    };
    uint64_t id = 1;
    for (const auto &c : changes) {
        SCOPED_TRACE(c.first);
        c.second();
        EXPECT_TRUE(m_store->modifiedSince(id));
        capture(++id);
        EXPECT_FALSE(m_store->modifiedSince(id));
    }
    EXPECT_TRUE(m_store->modifiedSince(1));
}

TEST_F(StoreTest, ResetLiveRestoresTheSnapshotAndKeepsWhatIsUnchanged)
{
    capture(1);
    const auto snap = tree(m_store->snapDataDir(1));
    const uint64_t untouched = inode(live + "/b.bin");
    put(live + "/a.txt", "changed");
    unlink((live + "/dir/c.txt").c_str());
    rmdir((live + "/dir").c_str());
    put(live + "/dir", "a file where a directory was");
    mkdir((live + "/extra").c_str(), 0500);
    put(live + "/extra/x", "x");
    chmod((live + "/extra").c_str(), 0500);
    std::string error;
    ASSERT_TRUE(m_store->resetLive(1, error)) << error;
    EXPECT_EQ(tree(live), snap);
    EXPECT_EQ(inode(live + "/b.bin"), untouched) << "unchanged files are not copied again";
    EXPECT_FALSE(m_store->modifiedSince(1));
}

TEST_F(StoreTest, BuildSnapshotAppliesAStreamOfChangesToItsBase)
{
    capture(1);
    const std::string staged = m_tmp + "/staged";
    put(staged, "new content");
    const std::vector<SimChange> changes = {
        {'x', "dir", 0, 0, 0, "", ""},                       // removes dir and dir/c.txt
        {'d', "dir", 0750, 0, 0, "", ""},                    // and brings it back empty
        {'f', "dir/n.txt", 0640, 1000000000, 11, "", staged}, // a received file
        {'l', "link", 0777, 0, 0, "b.bin", ""},              // a retargeted link
    };
    std::string error;
    ASSERT_TRUE(m_store->buildSnapshot(2, 1, changes, error)) << error;
    const auto built = tree(m_store->snapDataDir(2));
    EXPECT_EQ(built.at("dir/n.txt"), "new content");
    EXPECT_EQ(built.count("dir/c.txt"), 0u);
    EXPECT_EQ(built.at("link"), "link:b.bin");
    EXPECT_EQ(built.at("a.txt"), "alpha\n");
    EXPECT_EQ(inode(m_store->snapDataDir(2) + "/a.txt"), inode(m_store->snapDataDir(1) + "/a.txt"));
    struct stat st;
    ASSERT_EQ(stat((m_store->snapDataDir(2) + "/dir/n.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, 1);

    const std::vector<SimChange> orphan = {{'f', "missing/x", 0644, 0, 0, "", staged}};
    EXPECT_FALSE(m_store->buildSnapshot(3, 1, orphan, error)) << "a file needs its directory";
}

TEST_F(StoreTest, UsageCountsWhatOnlySnapshotsHold)
{
    capture(1);
    std::string error;
    SimSpaceUsage u;
    ASSERT_TRUE(m_store->usage({1}, u, error)) << error;
    const uint64_t files = 2 * 4096 + SimDatasetStore::cost(10000); // a.txt, dir/c.txt, b.bin
    EXPECT_EQ(u.liveReferenced, SimDatasetStore::kOverhead + files);
    EXPECT_EQ(u.snapReferenced[1], u.liveReferenced);
    EXPECT_EQ(u.snapUsed[1], 0u);
    EXPECT_EQ(u.snapshotsUsed, 0u);

    unlink((live + "/b.bin").c_str());
    capture(2);
    ASSERT_TRUE(m_store->usage({1, 2}, u, error)) << error;
    EXPECT_EQ(u.snapUsed[1], SimDatasetStore::cost(10000)) << "only snapshot 1 still holds b.bin";
    EXPECT_EQ(u.snapUsed[2], 0u);
    EXPECT_EQ(u.snapshotsUsed, SimDatasetStore::cost(10000));
}
