// lg_test_viewer: a log viewer for end-to-end tests. Serves the pipe output's Unix socket or the
// TCP output's port on 127.0.0.1 and prints one line per packet received:
//   header hostname=<host> appname=<app>
//   entry <entry type code> [<session>] <title>
//   flow <flow type> <title>
// Usage: lg_test_viewer --unix PATH | --tcp PORT   (runs until SIGTERM or SIGINT; with --tcp 0 it
// first prints "port <n>").
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "logging/lg_test_viewer.h"

using parlevo::logging::testing::DecodedPacket;
using parlevo::logging::testing::DescribePacket;
using parlevo::logging::testing::TestViewer;

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "--unix") != 0 && std::strcmp(argv[1], "--tcp") != 0)) {
    std::cerr << "usage: lg_test_viewer --unix PATH | --tcp PORT\n";
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);  // the viewer's threads inherit the mask

  std::unique_ptr<TestViewer> viewer;
  try {
    viewer = std::strcmp(argv[1], "--unix") == 0
                 ? TestViewer::OnUnixSocket(argv[2])
                 : TestViewer::OnTcp(static_cast<uint16_t>(std::atoi(argv[2])));
  } catch (const std::exception& e) {
    std::cerr << "lg_test_viewer: " << e.what() << "\n";
    return 1;
  }
  std::mutex output;
  viewer->SetOnPacket([&output](const DecodedPacket& packet) {
    std::lock_guard lock(output);
    std::cout << DescribePacket(packet) << std::endl;
  });
  if (std::strcmp(argv[1], "--tcp") == 0) {
    std::lock_guard lock(output);
    std::cout << "port " << viewer->Port() << std::endl;
  }
  int received = 0;
  sigwait(&signals, &received);
  viewer->Stop();
  return 0;
}
