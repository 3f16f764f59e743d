// The id of this service's installation: made once, at the first start on a
// database, and kept in sys_configure under 'Service.Instance'. Snapshots a
// mission makes carry it (with the mission's number), so a replica's
// snapshots name the service that made them and two services, or two
// databases of one machine, never take each other's snapshots for their own.
//
// Called on the main thread at start, before the scheduler runs.
#pragma once

#include <QString>

class TQ2DBSqlite;

namespace ServiceInstance {

// 32 lower-case hex digits from a random UUID.
QString generate();
// Whether `id` is an id as generate() makes them (and a stored one must be).
bool isValid(const QString &id);
// The stored id; when none is stored, a new one is stored first (a row
// another process stored in between wins). False when the store cannot be
// read or written (the database's last error says why) or holds an id that
// is not valid (`instance` then holds it as stored).
bool ensure(TQ2DBSqlite &database, QString &instance);

} // namespace ServiceInstance
