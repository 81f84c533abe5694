// Makes the database of an install folder as the service does at start-up (the delivered tables,
// then the upgrade chain), for the end-to-end tests of the room and conference actions.
//
//   conferences_db_tool HOME
#include <iostream>
#include <string>

#include "service/database.h"
#include "service/schema.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: conferences_db_tool HOME\n";
    return 2;
  }
  const std::string connect_str = parlevo::GetConnectionString(argv[1]);
  if (!parlevo::CreateDatabaseIfMissing(connect_str) || !parlevo::UpdateDB(connect_str)) {
    std::cerr << "could not create the database below " << argv[1] << "\n";
    return 1;
  }
  return 0;
}
