// The metrics exposition: label escaping, and the whole text read back by a
// strict reader of the Prometheus text format (0.0.4) written here.
#include "metricstext.h"

#include <gtest/gtest.h>

#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

namespace {

struct Sample {
    QString name;
    QMap<QString, QString> labels; // unescaped values
    double value = 0;
};

// Reads the label set "{a="x",b="y"}" starting at `pos`; false on any
// grammar error. Leaves `pos` after the closing brace.
bool readLabels(const QString &line, int &pos, QMap<QString, QString> &labels, QString &error)
{
    static const QRegularExpression labelName(QStringLiteral("\\G[a-zA-Z_][a-zA-Z0-9_]*"));
    ++pos; // '{'
    while (pos < line.size() && line.at(pos) != QLatin1Char('}')) {
        const QRegularExpressionMatch name = labelName.match(line, pos);
        if (!name.hasMatch()) {
            error = QStringLiteral("bad label name at %1").arg(pos);
            return false;
        }
        pos += name.capturedLength();
        if (line.mid(pos, 2) != QLatin1String("=\"")) {
            error = QStringLiteral("expected =\" at %1").arg(pos);
            return false;
        }
        pos += 2;
        QString value;
        for (;;) {
            if (pos >= line.size()) {
                error = QStringLiteral("unterminated label value");
                return false;
            }
            const QChar c = line.at(pos++);
            if (c == QLatin1Char('"'))
                break;
            if (c != QLatin1Char('\\')) {
                value += c;
                continue;
            }
            const QChar escaped = pos < line.size() ? line.at(pos++) : QChar();
            if (escaped == QLatin1Char('\\') || escaped == QLatin1Char('"'))
                value += escaped;
            else if (escaped == QLatin1Char('n'))
                value += QLatin1Char('\n');
            else {
                error = QStringLiteral("bad escape in label value");
                return false;
            }
        }
        if (labels.contains(name.captured())) {
            error = QStringLiteral("repeated label");
            return false;
        }
        labels.insert(name.captured(), value);
        if (pos < line.size() && line.at(pos) == QLatin1Char(','))
            ++pos;
    }
    if (pos >= line.size()) {
        error = QStringLiteral("unterminated label set");
        return false;
    }
    ++pos; // '}'
    return true;
}

// Parses the whole text; an empty `error` means it is valid: every line a
// HELP, TYPE or sample line, one TYPE per family before its samples, no
// repeated series, a final line feed.
QList<Sample> parseExposition(const QString &text, QString &error)
{
    static const QRegularExpression metricName(QStringLiteral("\\G[a-zA-Z_:][a-zA-Z0-9_:]*"));
    static const QRegularExpression help(QStringLiteral("^# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.*)$"));
    static const QRegularExpression type(
        QStringLiteral("^# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)$"));
    QList<Sample> samples;
    if (!text.endsWith(QLatin1Char('\n'))) {
        error = QStringLiteral("no final line feed");
        return samples;
    }
    QSet<QString> typed;
    QSet<QString> series;
    const QStringList lines = text.left(text.size() - 1).split(QLatin1Char('\n'));
    for (int number = 0; number < lines.size() && error.isEmpty(); ++number) {
        const QString &line = lines.at(number);
        const QString where = QStringLiteral("line %1: ").arg(number + 1);
        if (line.startsWith(QLatin1String("# HELP "))) {
            if (!help.match(line).hasMatch())
                error = where + QStringLiteral("bad HELP");
            continue;
        }
        if (line.startsWith(QLatin1String("# TYPE "))) {
            const QRegularExpressionMatch m = type.match(line);
            if (!m.hasMatch() || typed.contains(m.captured(1)))
                error = where + QStringLiteral("bad or repeated TYPE");
            typed.insert(m.captured(1));
            continue;
        }
        if (line.startsWith(QLatin1Char('#')) || line.trimmed().isEmpty()) {
            error = where + QStringLiteral("unexpected comment or blank line");
            continue;
        }
        Sample sample;
        const QRegularExpressionMatch name = metricName.match(line, 0);
        if (!name.hasMatch()) {
            error = where + QStringLiteral("bad metric name");
            continue;
        }
        sample.name = name.captured();
        int pos = name.capturedLength();
        if (pos < line.size() && line.at(pos) == QLatin1Char('{') && !readLabels(line, pos, sample.labels, error)) {
            error = where + error;
            continue;
        }
        if (pos >= line.size() || line.at(pos) != QLatin1Char(' ')) {
            error = where + QStringLiteral("no space before the value");
            continue;
        }
        bool ok = false;
        sample.value = line.mid(pos + 1).toDouble(&ok);
        if (!ok)
            error = where + QStringLiteral("bad value");
        if (!typed.contains(sample.name))
            error = where + QStringLiteral("sample before its TYPE");
        QStringList key{sample.name};
        for (auto it = sample.labels.constBegin(); it != sample.labels.constEnd(); ++it)
            key << it.key() + QLatin1Char('=') + it.value();
        if (series.contains(key.join(QLatin1Char('\x1f'))))
            error = where + QStringLiteral("repeated series");
        series.insert(key.join(QLatin1Char('\x1f')));
        samples.append(sample);
    }
    return samples;
}

double valueOf(const QList<Sample> &samples, const QString &name, const QMap<QString, QString> &labels)
{
    for (const Sample &sample : samples) {
        bool matches = sample.name == name;
        for (auto it = labels.constBegin(); matches && it != labels.constEnd(); ++it)
            matches = sample.labels.value(it.key()) == it.value();
        if (matches)
            return sample.value;
    }
    return -1;
}

TEST(MetricsLabels, EscapesBackslashQuoteAndLineFeedOnly)
{
    const struct {
        const char *name;
        QString in;
        QString out;
    } cases[] = {
        {"plain", "Nightly", "Nightly"},
        {"quote", "a\"b", "a\\\"b"},
        {"backslash", "C:\\x", "C:\\\\x"},
        {"line feed", "two\nlines", "two\\nlines"},
        {"braces and commas stay", "x},y=\"", "x},y=\\\""},
        {"non-ASCII stays", QString::fromUtf8("每日备份"), QString::fromUtf8("每日备份")},
        {"empty", "", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MetricsText::escapeLabel(c.in), c.out);
    }
}

TEST(MetricsText, ReaderRejectsMalformedExpositions)
{
    const struct {
        const char *name;
        const char *text;
    } cases[] = {
        {"no final line feed", "# TYPE a gauge\na 1"},
        {"sample before TYPE", "a 1\n# TYPE a gauge\n"},
        {"unescaped quote", "# TYPE a gauge\na{x=\"q\"q\"} 1\n"},
        {"bad escape", "# TYPE a gauge\na{x=\"\\t\"} 1\n"},
        {"repeated series", "# TYPE a gauge\na{x=\"1\"} 1\na{x=\"1\"} 2\n"},
        {"no value", "# TYPE a gauge\na{x=\"1\"}\n"},
        {"blank line", "# TYPE a gauge\n\na 1\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        QString error;
        parseExposition(QString::fromUtf8(c.text), error);
        EXPECT_FALSE(error.isEmpty());
    }
}

TEST(MetricsText, ExpositionParsesAndCarriesEveryValue)
{
    MetricsText::State state;
    state.lastPass = 1765000000;
    MetricsText::Mission nightly;
    nightly.msnno = 3;
    nightly.caption = QStringLiteral("Nightly \"db\"\\\nsecond line");
    nightly.lastSuccess = 1764990000;
    nightly.lastOutcome = QStringLiteral("failed");
    nightly.runs = {{"succeeded", 12}, {"failed", 2}};
    nightly.bytes = 9000000000LL;
    nightly.running = true;
    nightly.period = 86400;
    nightly.runStarted = 1764999000;
    MetricsText::Mission fresh;
    fresh.msnno = 7;
    fresh.caption = QStringLiteral("fresh");
    fresh.runStarted = 1764998000; // a stale start of a mission not running is not shown
    state.missions = {nightly, fresh};

    QString error;
    const QList<Sample> samples = parseExposition(MetricsText::render(state), error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString() << "\n" << MetricsText::render(state).toStdString();

    const QMap<QString, QString> three{{"msnno", "3"}, {"caption", nightly.caption}};
    auto withOutcome = [](QMap<QString, QString> labels, const QString &outcome) {
        labels.insert("outcome", outcome);
        return labels;
    };
    const struct {
        const char *name;
        QMap<QString, QString> labels;
        double expected;
    } cases[] = {
        {"zfsrep_scheduler_last_pass_timestamp_seconds", {}, 1765000000},
        {"zfsrep_mission_last_success_timestamp_seconds", three, 1764990000},
        {"zfsrep_mission_last_run_outcome", withOutcome(three, "failed"), 1},
        {"zfsrep_mission_last_run_outcome", withOutcome(three, "succeeded"), 0},
        {"zfsrep_mission_runs", withOutcome(three, "succeeded"), 12},
        {"zfsrep_mission_runs", withOutcome(three, "failed"), 2},
        {"zfsrep_mission_runs", withOutcome(three, "cancelled"), 0},
        {"zfsrep_mission_moved_bytes", three, 9000000000.0},
        {"zfsrep_mission_running", three, 1},
        {"zfsrep_mission_schedule_period_seconds", three, 86400},
        {"zfsrep_mission_running", {{"msnno", "7"}}, 0},
        {"zfsrep_mission_run_started_timestamp_seconds", three, 1764999000},
        {"zfsrep_mission_run_started_timestamp_seconds", {{"msnno", "7"}}, 0},
        {"zfsrep_mission_last_success_timestamp_seconds", {{"msnno", "7"}}, 0},
        {"zfsrep_mission_last_run_outcome", {{"msnno", "7"}, {"outcome", "failed"}}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(valueOf(samples, c.name, c.labels), c.expected);
    }
    int outcomeSeries = 0;
    for (const Sample &sample : samples)
        outcomeSeries += sample.name == "zfsrep_mission_last_run_outcome" ? 1 : 0;
    EXPECT_EQ(outcomeSeries, 2 * MetricsText::outcomes().size()) << "every outcome of every mission";
}

TEST(MetricsText, WithoutMissionsOnlyTheSchedulerHasASample)
{
    QString error;
    const QList<Sample> samples = parseExposition(MetricsText::render(MetricsText::State()), error);
    ASSERT_TRUE(error.isEmpty()) << error.toStdString();
    ASSERT_EQ(samples.size(), 1);
    EXPECT_EQ(samples.at(0).name, "zfsrep_scheduler_last_pass_timestamp_seconds");
    EXPECT_EQ(samples.at(0).value, 0);
}

} // namespace
