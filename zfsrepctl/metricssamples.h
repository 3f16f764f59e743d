// Reads the samples of a Prometheus text exposition (format 0.0.4) as the
// service's zfsrep_metrics method returns it, for checks that judge its
// figures (zfsrepctl status). Pure; comment lines and lines that do not parse
// are skipped.
//
//   zfsrep_mission_last_success_timestamp_seconds{msnno="3",caption="Nightly"} 1765066215
#pragma once

#include <QList>
#include <QMap>
#include <QString>

struct MetricSample {
    QString name;
    QMap<QString, QString> labels; // values unescaped
    double value = 0;
};

QList<MetricSample> parseMetricSamples(const QString &text);

// The value of the first sample named `name` whose label `label` is `value`
// (any sample of the name when `label` is empty); `fallback` when none.
double metricValue(const QList<MetricSample> &samples, const QString &name, const QString &label,
                   const QString &value, double fallback = 0);
