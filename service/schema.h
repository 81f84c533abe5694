// The schema of the database file and its upgrade. A new installation gets the file with the
// tables of version 1; at every start UpdateDB then brings the file forward by a fixed chain of
// steps ("2.00", "2.10", "2.21", "2.22", "2.30"), each recorded by a row in SchemaVersion. A step
// runs in one transaction together with its version row: it is applied whole or not at all, and
// a step that failed runs again at the next start.
//
// Thread safety: meant for the start of the service, before requests are served; the routines
// take no lock of their own (the database serialises concurrent writers).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/datetime.h"

namespace parlevo {

// Told of every statement the upgrade runs, before it runs.
using StatementObserver = std::function<void(std::string_view sql)>;

// The local date-time whose day a version row records. Empty: the system clock.
using SchemaClock = std::function<TDateTime()>;

// Creates the database file of a new installation (and its folder) with the delivered tables of
// version 1 when the file does not exist or holds no table. True when the file is there now.
bool CreateDatabaseIfMissing(const std::string& connect_str);

// True when every step is present or was applied; false at the first step that failed.
bool UpdateDB(const std::string& connect_str, const StatementObserver& observe = {},
              const SchemaClock& clock = {});

// True when SchemaVersion holds the row of the version.
bool IsDBVersion(const std::string& connect_str, std::string_view version,
                 const StatementObserver& observe = {});

// Creates SchemaVersion. Reports false, as every definition does (no row changed); the table
// exists all the same.
bool CreateSchemaVersion(const std::string& connect_str, const StatementObserver& observe = {});

// The steps; each returns whether its version row was written (or was there already).
bool UpdateDBVersion200(const std::string& connect_str, const StatementObserver& observe = {});
bool UpdateDBVersion210(const std::string& connect_str, const StatementObserver& observe = {});
bool UpdateDBVersion221(const std::string& connect_str, const StatementObserver& observe = {});
bool UpdateDBVersion222(const std::string& connect_str, const StatementObserver& observe = {});
bool UpdateDBVersion230(const std::string& connect_str, const StatementObserver& observe = {});

}  // namespace parlevo
