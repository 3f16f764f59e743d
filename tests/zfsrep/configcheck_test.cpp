// The start-up check of the configuration: values of the wrong type or range
// and unknown keys each give one warning naming key and value, and the
// value is dropped so its default stays.
#include "configcheck.h"
#include "compressor.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

namespace {

QJsonObject object(const char *json) { return QJsonDocument::fromJson(json).object(); }

TEST(ConfigCheck, AcceptsEveryValueOfTheRightTypeAndRange)
{
    const QJsonObject config = object(R"({"lpcid": "/tarn/run/zfsrep.sock", "lpcgroup": "zfsrep",
        "debugging": "yes", "appname": "x", "stalltimeout": "0", "sshshare": false, "sshidentity": "/root/.ssh/k",
        "sshciphers": "aes128-ctr", "metricsfile": "/var/lib/m.prom", "compresslevel": 9, "compressthreads": "4",
        "maxconnections": 10, "idletimeout": 2.5, "notify": {"anything": [1]}, "hooks": "not read here",
        "partialtimeout": null})");
    QStringList warnings;
    EXPECT_EQ(ConfigCheck::checked(config, warnings), config);
    EXPECT_TRUE(warnings.isEmpty()) << warnings.join('\n').toStdString();
}

TEST(ConfigCheck, NamesEachBadValueAndDropsIt)
{
    const struct {
        const char *name;
        const char *config;
        const char *warning;
    } cases[] = {
        {"text for seconds", R"({"stalltimeout": "abc"})",
         R"(stalltimeout: "abc" is not a whole number; the default 600 is kept)"},
        {"negative seconds", R"({"stalltimeout": -5})", "stalltimeout: -5 is out of its range 0..2147483; the "
                                                         "default 600 is kept"},
        {"fraction", R"({"stalltimeout": 1.5})", "stalltimeout: 1.5 is not a whole number; the default 600 is kept"},
        {"level too high", R"({"compresslevel": 42})", "compresslevel: 42 is out of its range 1..9; the default 6 "
                                                        "is kept"},
        {"no threads", R"({"compressthreads": 0})", "compressthreads: 0 is out of its range 1..1024; the default "
                                                     "every core is kept"},
        {"a list for a flag", R"({"sshshare": [true]})", "sshshare: [true] is not a flag (true or false); the "
                                                          "default true is kept"},
        {"a word for a flag", R"({"debugging": "maybe"})", R"(debugging: "maybe" is not a flag (true or false); )"
                                                           "the default false is kept"},
        {"a number for a file", R"({"metricsfile": 7})", "metricsfile: 7 is not text; the default unset (no file) "
                                                          "is kept"},
        {"a number for the socket", R"({"lpcid": 5})", "lpcid: 5 is not text; ignored"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QStringList warnings;
        const QJsonObject kept = ConfigCheck::checked(object(c.config), warnings);
        EXPECT_TRUE(kept.isEmpty()) << "the bad value is dropped";
        ASSERT_EQ(warnings.size(), 1);
        EXPECT_EQ(warnings.first().toStdString(), c.warning);
    }
}

TEST(ConfigCheck, AnUnknownKeyIsNamedWithTheKeyItMayHaveMeant)
{
    QStringList warnings;
    const QJsonObject kept =
        ConfigCheck::checked(object(R"({"stalltimout": 30, "colour": "blue", "compresslevel": 3})"), warnings);
    EXPECT_EQ(kept, object(R"({"stalltimout": 30, "colour": "blue", "compresslevel": 3})"))
        << "unknown keys are left alone";
    EXPECT_EQ(warnings, (QStringList{"colour: unknown key, ignored",
                                     "stalltimout: unknown key, ignored (did you mean stalltimeout?)"}));
}

TEST(ConfigCheck, TheEngineKeepsItsDefaultsForDroppedValues)
{
    QStringList warnings;
    const QJsonObject kept = ConfigCheck::checked(object(R"({"compresslevel": "abc", "compressthreads": 2000})"),
                                                  warnings);
    const Compressor::Settings settings = Compressor::settingsFrom(kept);
    EXPECT_EQ(settings.level, Compressor::kDefaultLevel);
    EXPECT_EQ(settings.threads, 0);
    EXPECT_EQ(warnings.size(), 2);
}

} // namespace
