// zfsrepctl's manual page: every subcommand of --help has its entry, with an
// example, in the section the page is made from (and in the page itself
// when the build made one); the roff escaping of that section.
#include "manpage.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>

namespace {

QString ctlOutput(const QStringList &args)
{
    QProcess process;
    process.start(QStringLiteral(ZFSREPCTL_PATH), args);
    if (!process.waitForFinished(30000))
        return QString();
    return QString::fromUtf8(process.readAllStandardOutput());
}

// The subcommand names of --help: the words at two blanks' indentation
// under "Subcommands:".
QStringList subcommandsOfHelp()
{
    const QString help = ctlOutput({QStringLiteral("--help")});
    const int start = help.indexOf(QStringLiteral("\nSubcommands:\n"));
    if (start < 0)
        return {};
    QStringList names;
    static const QRegularExpression entry(QStringLiteral("^  ([a-z]+) "));
    for (const QString &line : help.mid(start).split(QLatin1Char('\n')).mid(2)) {
        if (line.isEmpty())
            break;
        const auto match = entry.match(line);
        if (match.hasMatch())
            names.append(match.captured(1));
    }
    return names;
}

TEST(CtlManPage, EverySubcommandHasAnEntryWithAnExample)
{
    const QStringList names = subcommandsOfHelp();
    ASSERT_GE(names.size(), 13) << "the --help text was not read";
    for (const char *name : {"list", "remove", "check", "run", "watch", "history", "show"})
        EXPECT_TRUE(names.contains(QLatin1String(name))) << name;
    const QString section = ctlOutput({QStringLiteral("--man-subcommands")});
    ASSERT_TRUE(section.startsWith(QStringLiteral("[SUBCOMMANDS]\n")));
    const QStringList entries = section.split(QStringLiteral(".TP\n.B "));
    ASSERT_EQ(entries.size(), names.size() + 1);
    for (int i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(names.at(i).toStdString());
        EXPECT_TRUE(entries.at(i + 1).startsWith(names.at(i) + QLatin1Char(' ')));
        EXPECT_TRUE(entries.at(i + 1).contains(QStringLiteral("Example: zfsrepctl ") + names.at(i)));
    }
    // The help text help2man reads leaves them to that section.
    EXPECT_FALSE(ctlOutput({QStringLiteral("--man-help")}).contains(QStringLiteral("\nSubcommands:\n")));
    QFile page(QStringLiteral(ZFSREP_BINARY_DIR "/packaging/man/zfsrepctl.1"));
    if (page.open(QIODevice::ReadOnly)) {
        const QString text = QString::fromUtf8(page.readAll());
        for (const QString &name : names)
            EXPECT_TRUE(text.contains(QStringLiteral(".B ") + name + QLatin1Char(' '))) << name.toStdString();
    }
}

TEST(CtlManPage, EscapesForRoff)
{
    EXPECT_EQ(ManPage::escaped("--send a\\b"), "\\-\\-send a\\eb");
    EXPECT_EQ(ManPage::escaped(".TH x\n'quote\nplain"), "\\&.TH x\n\\&'quote\nplain");
    EXPECT_EQ(ManPage::subcommandsSection({{"list", "list [--json]\n    one line. Example: zfsrepctl list"}}),
              "[SUBCOMMANDS]\n.TP\n.B list [\\-\\-json]\n.nf\none line. Example: zfsrepctl list\n.fi\n");
}

} // namespace
