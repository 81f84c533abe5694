// What the service object drives of the parts it is made of: the HTTP server and its worker
// threads. The parts implement these below the service object, which includes them from above.
#pragma once

#include <cstdint>

namespace parlevo {

// The HTTP server as the service drives it.
class IServiceHttpServer {
 public:
  virtual ~IServiceHttpServer() = default;
  virtual void SetDefaultPort(uint16_t port) = 0;
  virtual uint16_t DefaultPort() const = 0;
  // true: listen on the default port; false: stop listening. Idempotent.
  virtual void SetActive(bool active) = 0;
  virtual bool Active() const = 0;
};

// A worker thread owned by the service. Destroying it asks the thread to stop and waits for it.
class IServiceWorker {
 public:
  virtual ~IServiceWorker() = default;
};

}  // namespace parlevo
