// Host of the web front's load run: the HTTP front with the SOAP module on one loopback port and,
// for comparison, the same transport with one handler that answers a fixed text on another.
//
//   webfront_bench_host HOME REGISTRY_FILE     prints "SOAP <port>" and "BARE <port>", then runs
//                                              until its standard input closes
#include <iostream>
#include <string>

#include "front/frontend_files.h"
#include "front/http_bridge.h"
#include "front/http_server.h"
#include "front/soap_web_module.h"
#include "platform/registry.h"
#include "service/helpers.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: webfront_bench_host HOME REGISTRY_FILE\n";
    return 2;
  }
  parlevo::SetExeFolder(argv[1]);
  parlevo::SetRegistryFilePath(argv[2]);

  parlevo::TIdHTTPWebBrokerBridge front;
  front.SetBindAddress("127.0.0.1");
  front.RegisterWebModuleClass(parlevo::SOAPWebModuleClass());
  front.SetOnCommandGet(parlevo::HTTPServerCommandGet);
  front.SetActive(true);

  // The front's own transport with a handler that does nothing, on the lane and threads of the
  // PIN lookup, so that only the handlers differ.
  parlevo::THttpServer bare(
      parlevo::THttpLimits{},
      [](const parlevo::THttpRequest&, parlevo::THttpResponse& response) {
        response.set_content("<response><type>bare</type></response>", "text/xml");
      },
      parlevo::RequestLane);
  const uint16_t bare_port = bare.Listen("127.0.0.1", 0);

  std::cout << "SOAP " << front.BoundPort() << "\nBARE " << bare_port << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  bare.Stop();
  front.SetActive(false);
  return 0;
}
