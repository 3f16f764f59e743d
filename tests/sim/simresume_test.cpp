// The pure parts of resumable receives: the resume token's text form and the
// kept partial state's files.
#include "simfiles.h"
#include "simpartial.h"
#include "simresumetoken.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using namespace zsim;

namespace {

struct TokenRow {
    const char *name;
    SimResumeToken token;
};

SimResumeToken token(uint64_t fromguid, uint64_t object, uint64_t offset, uint64_t bytes, uint64_t toguid,
                     const char *toname)
{
    SimResumeToken t;
    t.fromguid = fromguid;
    t.object = object;
    t.offset = offset;
    t.bytes = bytes;
    t.toguid = toguid;
    t.toname = toname;
    return t;
}

} // namespace

TEST(SimResumeToken, RoundTripsEveryField)
{
    const std::vector<TokenRow> rows = {
        {"full stream at its start", token(0, 0, 0, 0, 1, "tank/data@a")},
        {"incremental inside a file", token(0x595d9f81aa9dddab, 3, 1500000, 1500346, 0x854f02a2dd32cf0d,
                                            "pool1/test@b")},
        {"largest numbers", token(UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX, "p/a/b/c@x")},
        {"name with odd characters", token(7, 1, 0, 99, 8, "tank/my data-1:x.y@snap_2024-01-01")},
        {"raw stream", [] {
             SimResumeToken t = token(0, 2, 10, 500, 9, "tank/enc@a");
             t.rawok = true;
             return t;
         }()},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const std::string text = row.token.encode();
        ASSERT_EQ(text.compare(0, 2, "1-"), 0) << text;
        EXPECT_EQ(text.find_first_not_of("0123456789abcdef-"), std::string::npos) << "only hex digits and dashes";
        SimResumeToken back;
        std::string reason;
        ASSERT_TRUE(back.decode(text, reason)) << reason;
        EXPECT_EQ(back.fromguid, row.token.fromguid);
        EXPECT_EQ(back.object, row.token.object);
        EXPECT_EQ(back.offset, row.token.offset);
        EXPECT_EQ(back.bytes, row.token.bytes);
        EXPECT_EQ(back.toguid, row.token.toguid);
        EXPECT_EQ(back.toname, row.token.toname);
        EXPECT_EQ(back.rawok, row.token.rawok);
        EXPECT_EQ(back.contents().find("\trawok\n") != std::string::npos, row.token.rawok);
    }
}

TEST(SimResumeToken, RejectsCorruptTokensWithOpenZfsReasons)
{
    const std::string good = token(5, 1, 2, 3, 4, "tank/data@a").encode();
    const size_t lastDash = good.rfind('-');
    std::string flipped = good;
    flipped[lastDash + 3] = flipped[lastDash + 3] == '0' ? '1' : '0';
    struct Row {
        const char *name;
        std::string text;
        const char *reason;
    };
    const std::vector<Row> rows = {
        {"empty", "", "resume token is corrupt (invalid format)"},
        {"no token at all", "-", "resume token is corrupt (invalid format)"},
        {"too few parts", "1-abc-10", "resume token is corrupt (invalid format)"},
        {"checksum not hex", "1-xyz-2-6161", "resume token is corrupt (invalid format)"},
        {"other version", "2" + good.substr(1), "resume token is corrupt (invalid version)"},
        {"payload not hex", good.substr(0, lastDash + 1) + "zz", "resume token is corrupt (payload is not hex-encoded)"},
        {"odd payload length", good.substr(0, good.size() - 1), "resume token is corrupt (payload is not hex-encoded)"},
        {"payload byte changed", flipped, "resume token is corrupt (incorrect checksum)"},
        {"payload cut", good.substr(0, good.size() - 2), "resume token is corrupt (incorrect checksum)"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        SimResumeToken t;
        std::string reason;
        EXPECT_FALSE(t.decode(row.text, reason));
        EXPECT_EQ(reason, row.reason);
    }
}

TEST(SimResumeToken, ContentsPrintLikeNvlistPrint)
{
    EXPECT_EQ(token(0x595d9f81aa9dddab, 1, 0, 0, 0x854f02a2dd32cf0d, "pool1/test@b").contents(),
              "resume token contents:\nnvlist version: 0\n\tfromguid = 0x595d9f81aa9dddab\n\tobject = 0x1\n"
              "\toffset = 0x0\n\tbytes = 0x0\n\ttoguid = 0x854f02a2dd32cf0d\n\ttoname = pool1/test@b\n");
    EXPECT_EQ(token(0, 2, 0x10, 0x20, 0xff, "tank/data@a").contents(),
              "resume token contents:\nnvlist version: 0\n\tobject = 0x2\n\toffset = 0x10\n\tbytes = 0x20\n"
              "\ttoguid = 0xff\n\ttoname = tank/data@a\n")
        << "a full stream has no fromguid";
}

TEST(SimPartialStore, KeepsRecordsAndTheCutFileAcrossProcesses)
{
    char tmpl[] = "/tmp/simpartial.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    SimPartialData data;
    data.begin = std::string("fs\ttank/data\ntosnap\ta\n\0binary", 30);
    SimChange dirChange;
    dirChange.type = 'd';
    dirChange.path = "sub dir";
    dirChange.mode = 0750;
    dirChange.mtime = 1700000000123456789;
    SimChange file;
    file.type = 'f';
    file.path = "sub dir/tab\there";
    file.mode = 0644;
    file.size = 5;
    file.staged = dir + "/f0";
    SimChange removed;
    removed.type = 'x';
    removed.path = "gone";
    SimChange link;
    link.type = 'l';
    link.path = "link";
    link.target = "../elsewhere";
    data.changes = {dirChange, file, removed, link};
    data.hasTail = true;
    data.tail.type = 'f';
    data.tail.path = "big.bin";
    data.tail.size = 1000000;
    data.tail.staged = dir + "/f4";
    data.tailBytes = 4096;
    std::string error;
    ASSERT_TRUE(SimPartialStore::save(dir, data, error)) << error;

    SimPartialData back;
    ASSERT_TRUE(SimPartialStore::load(dir, back, error)) << error;
    EXPECT_EQ(back.begin, data.begin);
    ASSERT_EQ(back.changes.size(), data.changes.size());
    for (size_t i = 0; i < data.changes.size(); i++) {
        SCOPED_TRACE(data.changes[i].path);
        EXPECT_EQ(back.changes[i].type, data.changes[i].type);
        EXPECT_EQ(back.changes[i].path, data.changes[i].path);
        EXPECT_EQ(back.changes[i].mode, data.changes[i].mode);
        EXPECT_EQ(back.changes[i].mtime, data.changes[i].mtime);
        EXPECT_EQ(back.changes[i].size, data.changes[i].size);
        EXPECT_EQ(back.changes[i].target, data.changes[i].target);
        EXPECT_EQ(back.changes[i].staged, data.changes[i].staged);
    }
    EXPECT_TRUE(back.hasTail);
    EXPECT_EQ(back.tail.path, "big.bin");
    EXPECT_EQ(back.tail.staged, dir + "/f4");
    EXPECT_EQ(back.tailBytes, 4096u);

    SimFiles::writeAtomic(dir + "/changes", "change\tf\tbroken\n", error);
    EXPECT_FALSE(SimPartialStore::load(dir, back, error)) << "a truncated line is refused";
    SimFiles::removeTree(dir, error);
}
