// Host of the web front's load run: the HTTP front with the SOAP module on one loopback port and,
// for comparison, a bare HTTP server with one handler that answers a fixed text on another.
//
//   webfront_bench_host HOME REGISTRY_FILE     prints "SOAP <port>" and "BARE <port>", then runs
//                                              until its standard input closes
#include <httplib.h>
#include <sys/socket.h>

#include <iostream>
#include <string>
#include <thread>

#include "platform/registry.h"
#include "service/helpers.h"
#include "webservice/front/frontend_files.h"
#include "webservice/front/http_bridge.h"
#include "webservice/front/soap_web_module.h"

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

  httplib::Server bare;
  // The front's transport settings, so that only the handlers differ: no Nagle delay, long
  // keep-alive, a thread free for every connection.
  bare.set_tcp_nodelay(true);
  bare.set_keep_alive_max_count(10000);
  bare.new_task_queue = [] { return new httplib::ThreadPool(128); };
  int bare_socket = -1;
  bare.set_socket_options([&bare_socket](socket_t sock) { bare_socket = sock; });
  bare.Post(".*", [](const httplib::Request&, httplib::Response& response) {
    response.set_content("<response><type>bare</type></response>", "text/xml");
  });
  const int bare_port = bare.bind_to_any_port("127.0.0.1");
  // The front's listen backlog (the library's own is 5).
  if (bare_socket >= 0) ::listen(bare_socket, SOMAXCONN);
  std::thread bare_thread([&] { bare.listen_after_bind(); });

  std::cout << "SOAP " << front.BoundPort() << "\nBARE " << bare_port << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
  }
  bare.stop();
  bare_thread.join();
  front.SetActive(false);
  return 0;
}
