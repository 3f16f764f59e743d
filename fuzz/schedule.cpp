// Schedules as clients store them: the input is read as JSON; an object is
// one schedule, an array a mission's list of them. The next run must lie
// after the start and match the schedule's hours and minutes.
#include "fuzzcheck.h"
#include "schedules.h"
#include "tq2utils.h"

#include <QJsonDocument>
#include <QTime>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>

namespace {

// An hour or minute list admits `value`, its elements read as the schedule
// reader reads them: an empty list admits all.
bool admits(const QJsonValue &list, int value)
{
    const QJsonArray array = list.toArray();
    if (array.isEmpty())
        return true;
    for (const QJsonValue &v : array) {
        if (toInt(v) == value)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Local time without daylight saving: a time that falls into a skipped
    // hour moves, which is no fault of the schedule reader.
    setenv("TZ", "UTC", 1);
    tzset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));
    const QDate today(2026, 12, 8);
    const QDateTime starts[] = {QDateTime(today, QTime(0, 37), Qt::LocalTime),
                                QDateTime(QDate(2026, 12, 31), QTime(23, 59, 30), Qt::LocalTime)};
    for (const QDateTime &start : starts) {
        if (document.isObject()) {
            const QJsonObject schedule = document.object();
            const QDateTime next = nextScheduledDateTime(schedule, start, today);
            if (next.isValid()) {
                FUZZ_CHECK(start < next);
                FUZZ_CHECK(next.time().second() == 0);
                FUZZ_CHECK(admits(schedule.value(QLatin1String("hours")), next.time().hour()));
                FUZZ_CHECK(admits(schedule.value(QLatin1String("minutes")), next.time().minute()));
            }
            toDueTime(next);
        } else if (document.isArray()) {
            const QDateTime next = nextSchedulesDateTime(document.array(), start, today);
            FUZZ_CHECK(next.isValid() && start < next);
            toDueTime(next);
        }
    }
    return 0;
}
