#include "compressor.h"

#include <QStandardPaths>
#include <QThread>

namespace Compressor {

namespace {

const QString kPigz = QStringLiteral("pigz");
const QString kGzip = QStringLiteral("gzip");

// An integer given as a JSON number or as decimal text; false for anything else.
bool integerOf(const QJsonValue &value, int &result)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number != static_cast<int>(number))
            return false;
        result = static_cast<int>(number);
        return true;
    }
    if (value.isString()) {
        bool ok = false;
        result = value.toString().trimmed().toInt(&ok, 10);
        return ok;
    }
    return false;
}

QString program(const Tool &tool) { return tool.parallel ? kPigz : kGzip; }

} // namespace

Settings settingsFrom(const QJsonObject &config)
{
    Settings settings;
    int value = 0;
    if (integerOf(config.value(QStringLiteral("compresslevel")), value) && value >= 1 && value <= 9)
        settings.level = value;
    if (integerOf(config.value(QStringLiteral("compressthreads")), value) && value >= 1 && value <= kMaxThreads)
        settings.threads = value;
    return settings;
}

Tool choose(const Settings &settings, bool pigzInstalled, int cores)
{
    Tool tool;
    tool.parallel = pigzInstalled;
    tool.level = settings.level;
    tool.threads = settings.threads > 0 ? settings.threads : qMax(1, cores);
    return tool;
}

bool pigzInstalled() { return !QStandardPaths::findExecutable(kPigz).isEmpty(); }

Tool current(const Settings &settings) { return choose(settings, pigzInstalled(), QThread::idealThreadCount()); }

QString compressStage(const Tool &tool)
{
    QString stage = program(tool) + QStringLiteral(" -") + QString::number(tool.level);
    if (tool.parallel)
        stage += QStringLiteral(" -p ") + QString::number(tool.threads);
    return stage;
}

QString decompressStage(const Tool &tool) { return program(tool) + QStringLiteral(" -dc"); }

QString testStage(const Tool &tool) { return program(tool) + QStringLiteral(" -t"); }

} // namespace Compressor
