#include "missionrowtext.h"

#include "tq2jsonwriter.h"
#include "tq2utils.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <algorithm>
#include <mutex>

namespace {

// The array text of each stored schedules text, shared by every listing of
// the process: missions keep their schedules from one listing to the next,
// so each text is parsed and written once, not once per listing. A pure
// memo (text in, text out); emptied when it grows past kMostSchedules.
constexpr int kMostSchedules = 100000;

struct ScheduleTexts {
    std::mutex lock;
    QHash<QByteArray, QByteArray> texts;
};

ScheduleTexts &scheduleTexts()
{
    static ScheduleTexts shared;
    return shared;
}

} // namespace

const char *const MissionRowText::kLiveKeys[5] = {"speed", "rate", "bytes", "total", "eta"};

void MissionRowText::learnColumns(const TQ2SqlRow &row)
{
    QList<QString> order;
    for (int column = 0; column < row.columns(); ++column) {
        const QString key = QString::fromUtf8(row.name(column)).toLower();
        std::vector<int> &columns = byKey[key];
        if (columns.empty())
            order.append(key);
        columns.insert(columns.begin(), column);
    }
    QHash<QString, Kind> kinds{{QStringLiteral("schedules"), Schedules}, {QStringLiteral("state"), State},
                               {QStringLiteral("nextrun"), Nextrun},     {QStringLiteral("lastrun"), Lastrun},
                               {QStringLiteral("lastresult"), Lastresult}, {QStringLiteral("lasterror"), Lasterror},
                               {QStringLiteral("waitreason"), Waitreason}};
    for (const char *key : kLiveKeys)
        kinds.insert(QString::fromLatin1(key), Live);
    for (auto it = kinds.cbegin(); it != kinds.cend(); ++it) {
        if (!order.contains(it.key()))
            order.append(it.key());
    }
    std::sort(order.begin(), order.end()); // QJsonObject's key order
    for (const QString &key : order) {
        Entry entry;
        entry.key = key;
        QByteArray text;
        TQ2JsonWriter(text).string(key);
        entry.keyText = text + ':';
        entry.kind = kinds.value(key, Column);
        entry.columns = byKey.value(key);
        entries.push_back(std::move(entry));
    }
}

int MissionRowText::valued(const TQ2SqlRow &row, const std::vector<int> &columns, TQ2SqlRow::Type *found)
{
    for (int column : columns) {
        const TQ2SqlRow::Type type = row.type(column);
        if (type == TQ2SqlRow::Integer || type == TQ2SqlRow::Float || type == TQ2SqlRow::Text) {
            if (found)
                *found = type;
            return column;
        }
    }
    return -1;
}

QJsonValue MissionRowText::value(const TQ2SqlRow &row, const char *key)
{
    if (entries.empty())
        learnColumns(row);
    // Asked for the same few keys on every row: found once by name.
    auto known = std::find_if(asked.begin(), asked.end(), [key](const auto &entry) { return entry.first == key; });
    if (known == asked.end())
        known = asked.insert(asked.end(), {key, byKey.value(QString::fromLatin1(key))});
    const int column = valued(row, known->second);
    if (column < 0)
        return QJsonValue(QJsonValue::Undefined);
    switch (row.type(column)) {
    case TQ2SqlRow::Integer:
        return row.integer(column);
    case TQ2SqlRow::Float:
        return row.real(column);
    default: {
        int size = 0;
        const char *text = row.text(column, size);
        return QString::fromUtf8(text, size);
    }
    }
}

void MissionRowText::writeColumn(QByteArray &out, const TQ2SqlRow &row, int column, TQ2SqlRow::Type type)
{
    TQ2JsonWriter writer(out);
    switch (type) {
    case TQ2SqlRow::Integer:
        writer.integer(row.integer(column));
        break;
    case TQ2SqlRow::Float:
        writer.value(row.real(column));
        break;
    default: {
        int size = 0;
        const char *text = row.text(column, size);
        writer.string(text, size);
    }
    }
}

const QByteArray &MissionRowText::schedulesText(const TQ2SqlRow &row, const std::vector<int> &columns)
{
    // As the listing reads it: the column's text (anything else reads as
    // empty) parsed to an array, an unparsable text giving [].
    const int column = valued(row, columns);
    QByteArray stored; // the row's bytes, not copied for the lookup
    if (column >= 0 && row.type(column) == TQ2SqlRow::Text) {
        int size = 0;
        const char *text = row.text(column, size);
        stored = QByteArray::fromRawData(text, size);
    }
    ScheduleTexts &shared = scheduleTexts();
    {
        std::lock_guard<std::mutex> guard(shared.lock);
        const auto found = shared.texts.constFind(stored);
        if (found != shared.texts.constEnd()) {
            schedule = found.value();
            return schedule;
        }
    }
    schedule = QJsonDocument(toJsonArray(QString::fromUtf8(stored))).toJson(QJsonDocument::Compact);
    std::lock_guard<std::mutex> guard(shared.lock);
    if (shared.texts.size() >= kMostSchedules)
        shared.texts.clear();
    shared.texts.insert(QByteArray(stored.constData(), stored.size()), schedule);
    return schedule;
}

void MissionRowText::render(RowTexts &texts, const TQ2SqlRow &row)
{
    if (entries.empty())
        learnColumns(row);
    for (const Entry &entry : entries) {
        if (entry.kind == Schedules) {
            texts.text.append(schedulesText(row, entry.columns));
        } else if (entry.kind == Column || entry.kind == Live) {
            TQ2SqlRow::Type type = TQ2SqlRow::Null;
            const int column = valued(row, entry.columns, &type);
            if (column >= 0)
                writeColumn(texts.text, row, column, type);
        }
        texts.ends.push_back(texts.text.size());
    }
}

void MissionRowText::write(QByteArray &out, const RowTexts &texts, int index, const RunFields &fields,
                           const QJsonObject *progress) const
{
    TQ2JsonWriter writer(out);
    const size_t keys = entries.size();
    const int *ends = texts.ends.data() + size_t(index) * keys;
    int start = index == 0 ? 0 : ends[-1];
    bool first = true;
    out.append('{');
    for (size_t k = 0; k < keys; ++k) {
        const Entry &entry = entries[k];
        const int length = ends[k] - start;
        const char *stored = texts.text.constData() + start;
        start = ends[k];
        const bool live = entry.kind == Live && progress;
        if (live ? !progress->contains(entry.key)
                 : ((entry.kind == Column || entry.kind == Live) && length == 0)
                       || (entry.kind == Waitreason && fields.waitreason.isEmpty()))
            continue;
        if (!first)
            out.append(',');
        first = false;
        out.append(entry.keyText);
        switch (entry.kind) {
        case Column:
        case Schedules: out.append(stored, length); break;
        case State: writer.string(fields.state); break;
        case Nextrun: writer.integer(fields.nextrun); break;
        case Lastrun: writer.integer(fields.lastrun); break;
        case Lastresult: writer.string(fields.lastresult); break;
        case Lasterror: writer.string(fields.lasterror); break;
        case Waitreason: writer.string(fields.waitreason); break;
        case Live:
            if (live)
                writer.value(progress->value(entry.key));
            else
                out.append(stored, length);
            break;
        }
    }
    out.append('}');
}
