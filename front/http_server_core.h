// The I/O side of THttpServer, shared by the listener and admission (http_server.cpp) and the
// connections (http_session.cpp).
//
// Thread safety: as marked on the members; limits and handler never change.
#pragma once

// Before Boost.Asio, whose headers use std::exchange without including it.
#include <utility>

#include <boost/asio.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "front/http_server.h"
#include "front/http_worker_pool.h"

namespace parlevo {

class THttpSession;

// The bytes of request bodies held at once, across all connections: a connection takes its body's
// length (a chunked body chunk by chunk) before it reads it, and gives it back once the request
// is done with.
//
// Thread safety: every member may be called from any thread.
class THttpBodyBudget {
 public:
  explicit THttpBodyBudget(uint64_t total) : total_(total) {}
  // False, taking nothing, when fewer than bytes are left.
  bool TryTake(uint64_t bytes) {
    uint64_t held = held_.load();
    do {
      if (bytes > total_ || held > total_ - bytes) return false;
    } while (!held_.compare_exchange_weak(held, held + bytes));
    return true;
  }
  void Give(uint64_t bytes) { held_ -= bytes; }

 private:
  const uint64_t total_;
  std::atomic<uint64_t> held_{0};
};

// Body bytes that a request carries to its worker; given back when the request is dropped.
class THttpBodyLease {
 public:
  THttpBodyLease(THttpBodyBudget& budget, uint64_t bytes) : budget_(budget), bytes_(bytes) {}
  ~THttpBodyLease() { budget_.Give(bytes_); }
  THttpBodyLease(const THttpBodyLease&) = delete;
  THttpBodyLease& operator=(const THttpBodyLease&) = delete;

 private:
  THttpBodyBudget& budget_;
  const uint64_t bytes_;
};

// One I/O thread per io_context; a connection stays on the context it was accepted into, so its
// steps never run at the same time. The listener has the first context to itself, so that a burst
// of connections (hostile clients coming back) holds up no request. The general lane's handlers
// run on the workers, the lookup lane's on the connection's own I/O thread.
struct THttpServer::Core {
  Core(THttpLimits l, THttpHandler h, THttpLaneOf lanes)
      : limits(l),
        handler(std::move(h)),
        lane_of(std::move(lanes)),
        iocs(MakeContexts(std::max(limits.io_threads, 1u) + 1)) {}

  static std::vector<std::unique_ptr<boost::asio::io_context>> MakeContexts(unsigned count) {
    std::vector<std::unique_ptr<boost::asio::io_context>> made;
    for (unsigned i = 0; i < std::max(count, 1u); ++i) {
      made.push_back(std::make_unique<boost::asio::io_context>(1));
      // A context makes its poller (descriptors of its own) on first use; made here, it cannot
      // fail later for want of descriptors, when a connection is handed to it.
      boost::asio::steady_timer warm_up(*made.back());
    }
    return made;
  }

  boost::asio::io_context& ListenerContext() { return *iocs.front(); }
  // Starts the threads of the first count contexts (the listener's first) as far as the system
  // allows; returns how many run.
  size_t StartIoThreads(size_t count);
  void StopIoThreads();
  void Accept();
  void RetryAcceptLater();
  void Admit(boost::asio::ip::tcp::socket socket);
  void Forget(const std::shared_ptr<THttpSession>& session) noexcept;
  // A connection waiting for a request head may be displaced by a newcomer when the bound or
  // its address's share is reached; once its head is in, it may not. Leave returns false when it
  // was displaced already (its close is on the way).
  void EnterWaiting(THttpSession& session);
  bool LeaveWaiting(THttpSession& session) noexcept;
  // Closes every connection; one whose request is being answered gets up to `grace` first.
  void CloseAll(std::chrono::milliseconds grace = std::chrono::milliseconds(0));

  bool OnLookupLane(const THttpRequest& request) const {
    return lane_of && lane_of(request) == THttpLane::kLookup;
  }

  // Runs fn on the listener's thread and waits for it; its exception passes to the caller.
  template <typename Fn>
  auto RunOnListener(Fn fn) {
    std::packaged_task<decltype(fn())()> task(std::move(fn));
    auto done = task.get_future();
    boost::asio::post(ListenerContext(), [&task] { task(); });
    return done.get();
  }

  const THttpLimits limits;
  const THttpHandler handler;
  const THttpLaneOf lane_of;
  // Before the contexts: sessions that their destruction frees give their bytes back here.
  THttpBodyBudget body_budget{limits.max_bodies_bytes};
  // Declared first: sockets and timers below need them until they are gone.
  std::vector<std::unique_ptr<boost::asio::io_context>> iocs;
  std::vector<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work;
  std::vector<std::thread> io_threads;
  THttpWorkerPool workers;
  // The contexts that take connections: those after the listener's whose thread runs. Set
  // before the listener starts.
  size_t connection_contexts = 0;

  // Listener thread only.
  std::optional<boost::asio::ip::tcp::acceptor> acceptor;
  boost::asio::steady_timer backoff{ListenerContext()};
  uint64_t generation = 0;
  size_t next_context = 0;

  // Touched from every I/O thread, under registry_mutex.
  struct AddressSlots {
    size_t held = 0;
    std::list<THttpSession*> waiting;  // the longest waiting first
  };
  void EnterWaitingLocked(THttpSession& session, AddressSlots& slots);
  void UnlistLocked(THttpSession& session);
  std::shared_ptr<THttpSession> DisplaceLocked(std::list<THttpSession*>& waiting);
  std::mutex registry_mutex;
  std::set<std::shared_ptr<THttpSession>> sessions;
  std::map<std::string, AddressSlots> per_address;
  std::list<THttpSession*> waiting;  // the longest waiting first
  std::atomic<size_t> bound{0};
  std::atomic<bool> stopping{false};
  std::atomic<size_t> share{0};
};

}  // namespace parlevo
