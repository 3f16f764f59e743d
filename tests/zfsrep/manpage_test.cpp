// The service's manual page names every configuration key the service
// reads: the keys are found in the sources where the configuration object is
// read, checked against the start-up check's table, and looked up in the
// page's source (and in the page itself when the build made one).
#include "configcheck.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QSet>

namespace {

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(file.readAll());
}

// Every key read from the configuration object in the service's sources:
// config.value(QStringLiteral("KEY")) and the server limits' take(config, "KEY", ...).
QSet<QString> keysReadInSources()
{
    static const QRegularExpression read(QStringLiteral(R"re(config\.value\(QStringLiteral\("([a-z]+)"\)\))re"));
    static const QRegularExpression limit(QStringLiteral(R"re(take\(config, "([a-z]+)")re"));
    QStringList files{QStringLiteral(ZFSREP_SOURCE_DIR "/tqlib/tq2serverlimits.cpp")};
    QDirIterator it(QStringLiteral(ZFSREP_SOURCE_DIR "/zfsrep"), {QStringLiteral("*.cpp")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    QSet<QString> keys;
    for (const QString &file : files) {
        const QString text = readText(file);
        for (const QRegularExpression *pattern : {&read, &limit}) {
            auto match = pattern->globalMatch(text);
            while (match.hasNext())
                keys.insert(match.next().captured(1));
        }
    }
    return keys;
}

TEST(ManPage, EveryKeyTheServiceReadsIsCheckedAtStart)
{
    const QSet<QString> read = keysReadInSources();
    ASSERT_GE(read.size(), 15) << "the sources were not found or read";
    QSet<QString> known;
    for (const ConfigCheck::Key &key : ConfigCheck::keys())
        known.insert(QLatin1String(key.name));
    for (const QString &key : read)
        EXPECT_TRUE(known.contains(key)) << key.toStdString() << " is read but not in ConfigCheck::keys()";
}

TEST(ManPage, TheServicePageNamesEveryConfigurationKey)
{
    const QString source = readText(QStringLiteral(ZFSREP_SOURCE_DIR "/packaging/man/zfsrep.h2m"));
    ASSERT_FALSE(source.isEmpty());
    // The page the build made (help2man installed) holds the same text.
    const QString page = readText(QStringLiteral(ZFSREP_BINARY_DIR "/packaging/man/zfsrep.8"));
    for (const ConfigCheck::Key &key : ConfigCheck::keys()) {
        SCOPED_TRACE(key.name);
        const QString bold = QStringLiteral("\\fB%1\\fR").arg(QLatin1String(key.name));
        EXPECT_TRUE(source.contains(bold));
        if (!page.isEmpty()) {
            EXPECT_TRUE(page.contains(bold));
        }
        // A key with a range names it; one with a default names that.
        if (key.kind == ConfigCheck::Kind::Whole) {
            EXPECT_TRUE(source.contains(QStringLiteral("%1..%2").arg(key.least).arg(key.most)));
        }
        if (*key.defaultText) {
            EXPECT_TRUE(source.contains(QStringLiteral("\\fB%1\\fR (").arg(QLatin1String(key.name))));
        }
    }
}

} // namespace
