#include "watch.h"

#include <gtest/gtest.h>

#include <QJsonObject>

namespace {

TEST(Watch, ProgressBarFillsByPercent)
{
    EXPECT_EQ(progressBar(0, 12), "[          ]");
    EXPECT_EQ(progressBar(50, 12), "[=====>    ]");
    EXPECT_EQ(progressBar(100, 12), "[==========]");
    EXPECT_EQ(progressBar(250, 12), "[==========]");
    EXPECT_EQ(progressBar(-5, 12), "[          ]");
}

TEST(Watch, RunningMissionGetsABar)
{
    const QJsonArray records{
        QJsonObject{{"msnno", 1}, {"caption", "Nightly"}, {"action", 1}, {"pool", "tank"}, {"name", "data"},
                    {"host", "10.0.0.2"}, {"port", "22"}, {"path", "backup"}, {"done", 0}, {"finishedtime", ""},
                    {"rate", 45}, {"speed", "12.3MiB/s"}},
        QJsonObject{{"msnno", 2}, {"caption", "Restore"}, {"action", 4}, {"pool", "tank"}, {"name", "copy"},
                    {"path", "/backup/tank/data@x.gz.zsa"}, {"done", 1}, {"finishedtime", "2026-12-07 20:41:00"}},
    };
    const QStringList lines = renderMissions(records, 100).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines.at(0), "#1 Nightly  send  tank/data -> 10.0.0.2:22/backup  running");
    EXPECT_TRUE(lines.at(1).contains("=>")) << lines.at(1).toStdString();
    EXPECT_TRUE(lines.at(1).endsWith(" 45%  12.3MiB/s"));
    EXPECT_EQ(lines.at(2),
              "#2 Restore  restore  /backup/tank/data@x.gz.zsa -> tank/copy  done  last run 2026-12-07 20:41:00");
    EXPECT_EQ(renderMissions(QJsonArray(), 80), "no missions\n");
}

} // namespace
