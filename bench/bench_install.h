// What the database benchmarks share: an install folder with its configuration file and an
// up-to-date database, and the rooms they fill it with.
#pragma once

#include <stdlib.h>

#include <stdexcept>
#include <string>

#include "platform/db.h"
#include "platform/registry.h"
#include "service/check_registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"

namespace parlevo::bench {

// Makes HOME an install folder (German, in Berlin's time zone) with a new database; returns the
// connection text.
inline std::string PrepareInstallFolder(const std::string& home) {
  setenv("TZ", "Europe/Berlin", 1);
  SetExeFolder(home + "/");
  SetRegistryFilePath(home + "/registry.reg");
  TRegistry registry;
  registry.OpenKey(kParlevoRegistryKey, true);
  registry.WriteString("InstallPath", home + "/");
  registry.WriteString("Language", "ger");
  const std::string connect_str = UseConnectionString();
  if (!CreateDatabaseIfMissing(connect_str) || !UpdateDB(connect_str)) {
    throw std::runtime_error("could not create the database below " + home);
  }
  return connect_str;
}

// Rooms "Raum 0".. with direct dials from 1000 on.
inline void InsertRooms(db::TADOQuery& query, int count) {
  for (int room = 0; room < count; ++room) {
    query.ExecSQL("INSERT INTO [rooms] VALUES (\"Raum " + std::to_string(room) + "\", \"" +
                  std::to_string(1000 + room) + "\", \"1\")");
  }
}

}  // namespace parlevo::bench
