// Test host of the end-to-end web tests: runs the HTTP front with the SOAP module and the
// front-end handler on a free loopback port, with the install folder and the registry file the
// test gives, until its standard input closes.
//
//   webfront_host HOME REGISTRY_FILE     prints "PORT <n>" once it listens
#include <iostream>
#include <string>

#include "platform/registry.h"
#include "service/database.h"
#include "service/helpers.h"
#include "service/schema.h"
#include "webservice/front/configuration.h"
#include "webservice/front/frontend_files.h"
#include "webservice/front/http_bridge.h"
#include "webservice/front/soap_web_module.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: webfront_host HOME REGISTRY_FILE\n";
    return 2;
  }
  parlevo::SetExeFolder(argv[1]);
  parlevo::SetRegistryFilePath(argv[2]);
  // As the service does at start: a new installation gets its database, brought up to date.
  const std::string connection = parlevo::GetConnectionString();
  if (!connection.empty() && parlevo::CreateDatabaseIfMissing(connection)) {
    parlevo::UpdateDB(connection);
  }

  parlevo::TIdHTTPWebBrokerBridge server;
  server.SetBindAddress("127.0.0.1");
  server.SetDefaultPort(0);
  server.RegisterWebModuleClass(parlevo::SOAPWebModuleClass());
  server.SetOnCommandGet(parlevo::HTTPServerCommandGet);
  server.SetActive(true);
  std::cout << "PORT " << server.BoundPort() << std::endl;

  std::string line;
  while (std::getline(std::cin, line)) {
  }
  server.SetActive(false);
  return 0;
}
