// Reads the numeric output of `pv -n -b -t` ("SECONDS BYTES" per line, as
// `script` copies it from the terminal, lines ending in CR LF; the seconds
// with a decimal point or, as a decimal-comma locale prints them, a comma)
//   $ pv -f -n -b -t -i 1 <in >out
//   1.0844 1048576
// and keeps the transfer's figures: bytes moved, rate over the last update,
// percentage of the expected size, time left, and when the byte count last
// moved (for the stall watchdog). Pure: text in, figures out; the caller supplies the clock.
#pragma once

#include <QByteArray>
#include <QString>

class PvMeter
{
public:
    // `total`: the expected stream size in bytes (0 when unknown).
    explicit PvMeter(qint64 total = 0) : totalBytes(total) {}

    // Feeds output that arrived (pieces may split lines anywhere); `nowMs`
    // is a monotonic clock. Lines that are not pv's numbers are ignored.
    void feed(const QByteArray &chunk, qint64 nowMs);

    qint64 bytes() const { return movedBytes; }
    qint64 total() const { return totalBytes; }
    // Bytes per second between the two newest updates.
    qint64 bytesPerSecond() const { return rate; }
    // 0..100 of the expected size; 0 when the size is unknown. Never 100
    // before `finish`.
    int percent() const;
    // `done` of `total` in percent, 0..99 (100 is for the caller to say once
    // the stage has ended); 0 when the total is unknown.
    static int percentOf(qint64 done, qint64 total);
    // Seconds left at the current rate; -1 when unknown.
    qint64 etaSeconds() const;
    // Milliseconds since the byte count last grew (or since the first feed),
    // whether or not pv still prints: a stream that has wholly passed pv
    // while the far end still works counts as idle from its last byte.
    qint64 idleMs(qint64 nowMs) const;
    bool sawNumbers() const { return updates > 0; }

    // pv's own rate text, e.g. "18.5MiB/s", "0.00 B/s".
    static QString rateText(qint64 bytesPerSecond);
    // Whether a terminal line is one of pv's numeric updates ("1.0844 1048576"
    // or "1,0844 1048576").
    static bool isMeterLine(const QString &line);

private:
    void take(const QByteArray &line, qint64 nowMs);

    QByteArray partial;
    qint64 totalBytes = 0;
    qint64 movedBytes = 0;
    qint64 rate = 0;
    double lastSeconds = 0;
    qint64 lastMoveMs = -1;
    int updates = 0;
};
