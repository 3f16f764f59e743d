#include "tq2error.h"
#include "tq2journals.h"
#include "tq2print.h"

#include <gtest/gtest.h>

#include <QMetaEnum>
#include <QThread>

namespace {

TEST(TQ2Error, NamesEveryCatalogueCode)
{
    EXPECT_EQ(TQ2Error::toErrid(9885), "ERR_MISSING");
    EXPECT_EQ(TQ2Error::toErrid(0), "ERR_SUCCEED");
    EXPECT_EQ(TQ2Error::toErrid(10000), "ERR_SUCCESS");
    EXPECT_EQ(TQ2Error::toErrid(9898), "ERR_EXECUTE");
    EXPECT_EQ(TQ2Error::toErrid(8998), "ERR_CODEVERFIY_WRONG");
    EXPECT_EQ(TQ2Error::toErrid(9862), "ERR_PARSE");
    EXPECT_EQ(TQ2Error::toErrid(12345), "");
    const QMetaEnum meta = QMetaEnum::fromType<TQ2Error::ERRORCODE>();
    EXPECT_EQ(meta.keyCount(), 142);
}

TEST(TQ2Journals, FreshJournalReportsFailureOnly)
{
    TQ2Journals journals;
    QJsonObject response;
    journals.toRetObject(response, false);
    EXPECT_EQ(response, (QJsonObject{{"err", 9999}}));
}

TEST(TQ2Journals, ErrmsgOnlyForFailuresWithText)
{
    const struct {
        int code;
        const char *message;
        bool hasErrmsg;
    } cases[] = {
        {10000, "done", false}, {0, "ignored", false}, {9995, "", false}, {9995, "缺少参数: msnno", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.code);
        TQ2Journals journals;
        journals.setErr(c.code, QString::fromUtf8(c.message));
        QJsonObject response;
        journals.toRetObject(response, false);
        EXPECT_EQ(response.value("err").toInt(), c.code);
        EXPECT_EQ(response.contains("errmsg"), c.hasErrmsg);
        EXPECT_EQ(journals.toObject().contains("errmsg"), c.hasErrmsg);
    }
}

TEST(TQ2Journals, SetErrReturnsDisplayString)
{
    TQ2Journals journals;
    EXPECT_EQ(journals.setErr(9995, QString::fromUtf8("缺少参数: msnno")),
              QString::fromUtf8("[ERR_PARAMS]缺少参数: msnno"));
    EXPECT_EQ(journals.setErr(4242, "odd"), "[]odd");
    EXPECT_EQ(journals.err(), 4242);
}

TEST(TQ2Journals, VerboseAddsElapsedAndJournals)
{
    TQ2Journals journals;
    QJsonObject quiet;
    journals.add("a#1", "zfs list", false, "boom", "");
    journals.toRetObject(quiet, false);
    EXPECT_FALSE(quiet.contains("elapsed"));
    EXPECT_FALSE(quiet.contains("journals"));

    QJsonObject verbose{{"results", 1}};
    journals.toRetObject(&verbose, true);
    EXPECT_TRUE(verbose.contains("elapsed"));
    EXPECT_EQ(verbose.value("journals").toArray().size(), 1);
    EXPECT_EQ(verbose.value("results").toInt(), 1);
}

TEST(TQ2Journals, ShapeBEntryFallsBackToJournalMessage)
{
    TQ2Journals journals;
    journals.setErrmsg("earlier trouble");
    const QJsonObject entry = journals.add("MXZfsrep::alload#12", "zfs list -pj", false, "", "");
    EXPECT_EQ(entry.value("msg").toString(), "earlier trouble");
    EXPECT_EQ(entry.value("success").toBool(true), false);
    EXPECT_FALSE(entry.contains("command"));
    EXPECT_FALSE(entry.contains("content"));
    EXPECT_TRUE(entry.value("times").isDouble());

    TQ2Journals clean;
    EXPECT_FALSE(clean.add("p", "a", true, "", "").contains("msg"));
}

TEST(TQ2Journals, ShapeAEntryKeepsFixedKeys)
{
    TQ2Journals journals;
    const QJsonObject entry =
        journals.add("place", "content", QJsonObject{{"place", "other"}, {"extra", 5}});
    EXPECT_EQ(entry.value("place").toString(), "place");
    EXPECT_EQ(entry.value("content").toString(), "content");
    EXPECT_EQ(entry.value("extra").toInt(), 5);
    EXPECT_FALSE(entry.contains("action"));
}

TEST(TQ2Journals, CodedAddSetsErrorAndEntry)
{
    TQ2Journals journals;
    journals.add("p", 9898, "zfs snapshot x", false, "cannot create", "");
    EXPECT_EQ(journals.err(), 9898);
    EXPECT_EQ(journals.errmsg(), "cannot create");
    EXPECT_EQ(journals.segments().size(), 1);
}

TEST(TQ2Journals, StepsAccumulateIntoTotal)
{
    TQ2Journals journals;
    journals.begin();
    QThread::msleep(20);
    const qint64 first = journals.step();
    QThread::msleep(20);
    const qint64 total = journals.end();
    EXPECT_GE(first, 15);
    EXPECT_GE(total, first + 15);
    EXPECT_EQ(journals.times(), total);
    journals.reset(0, "msg", QJsonArray{1});
    EXPECT_EQ(journals.times(), 0);
    EXPECT_EQ(journals.errmsg(), "msg");
    EXPECT_EQ(journals.segments(), QJsonArray{1});
}

TEST(Pretty, ShortensSignatures)
{
    EXPECT_EQ(PRETTY("bool MXZfsrep::alload(TQ2Journals&, QJsonObject&) const", 253),
              "MXZfsrep::alload#253");
    EXPECT_EQ(PRETTY("plain", 0), "plain");
    EXPECT_EQ(PRETTY("plain", 5), "plain#5");
    EXPECT_EQ(PRETTY("static QString TQ2Error::toErrid(int)", -1), "TQ2Error::toErrid");
}

} // namespace
