// The compression tool of export and restore missions: pigz (parallel,
// the same gzip format) when it is installed, gzip otherwise, with the
// level and thread count of the configuration. Pure apart from
// `installed()`, which looks pigz up on PATH: settings in, stage text out.
// Stage texts hold only fixed program names and numbers, never a value from
// a client.
#pragma once

#include <QJsonObject>
#include <QString>

namespace Compressor {

constexpr int kDefaultLevel = 6; // gzip's own default
constexpr int kMaxThreads = 1024;

// Configuration keys "compresslevel" (1..9, default 6) and
// "compressthreads" (1..1024, default 0 = every core). A value out of range
// or of another kind keeps the default; numbers may come as text.
struct Settings {
    int level = kDefaultLevel;
    int threads = 0;
};
Settings settingsFrom(const QJsonObject &config);

// The tool a mission runs.
struct Tool {
    bool parallel = false; // pigz; otherwise gzip
    int level = kDefaultLevel;
    int threads = 1;       // pigz only
};
// pigz with `settings` when `pigzInstalled`, else gzip at the same level;
// 0 threads means `cores` (at least 1).
Tool choose(const Settings &settings, bool pigzInstalled, int cores);
// choose() with pigz looked up on PATH and the machine's core count.
Tool current(const Settings &settings);
bool pigzInstalled();

// $ pigz -6 -p 2        $ gzip -6
QString compressStage(const Tool &tool);
// $ pigz -dc            $ gzip -dc
QString decompressStage(const Tool &tool);
// Reads a gzip stream on standard input to its end and checks every
// member's CRC-32 and length; status 1 and a message on standard error when
// it is damaged.
// $ pigz -t             $ gzip -t
QString testStage(const Tool &tool);

} // namespace Compressor
