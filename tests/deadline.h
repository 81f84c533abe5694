// Bounds for the waits of tests. A regression that never signals, never lets a thread end or never
// lets a child exit must fail with a message that names the wait, not hang until ctest's limit.
//
// Thread safety: a TWatchdog is made and destroyed on one thread; its own thread only reads what
// the constructor set.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace parlevo::testing_support {

// Generous: a loaded CI machine must never reach it on a sound build.
inline constexpr std::chrono::seconds kWaitLimit{60};

// Ends the process with a message when it is still alive after `limit`. For waits that cannot
// be abandoned: a thread that never ends still uses the test's objects, so returning from the
// test would only trade the hang for a crash.
class TWatchdog {
 public:
  explicit TWatchdog(std::string what, std::chrono::seconds limit = kWaitLimit)
      : TWatchdog(std::move(what), {}, limit) {}
  // Also kills the child processes before the end, so that none is left behind. Make it after
  // the forks: a child forked while this thread runs inherits a process with threads that it
  // does not have.
  TWatchdog(std::string what, std::vector<pid_t> children, std::chrono::seconds limit = kWaitLimit)
      : what_(std::move(what)), children_(std::move(children)), limit_(limit) {
    // Signals a test sends to its own process must reach the code under test, never this thread:
    // it starts with every signal blocked.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    thread_ = std::thread([this] { Watch(); });
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ~TWatchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  TWatchdog(const TWatchdog&) = delete;
  TWatchdog& operator=(const TWatchdog&) = delete;

 private:
  void Watch() {
    std::unique_lock lock(mutex_);
    if (changed_.wait_for(lock, limit_, [this] { return done_; })) return;
    std::fprintf(stderr, "FAILED: %s did not finish within %lld s; ending the test process\n",
                 what_.c_str(), static_cast<long long>(limit_.count()));
    std::fflush(stderr);
    for (pid_t child : children_) ::kill(child, SIGKILL);
    std::_Exit(EXIT_FAILURE);
  }

  const std::string what_;
  const std::vector<pid_t> children_;
  const std::chrono::seconds limit_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread thread_;
};

inline void JoinWithin(std::thread& thread, const std::string& what,
                       std::chrono::seconds limit = kWaitLimit) {
  TWatchdog dog(what, limit);
  thread.join();
}

inline void JoinAllWithin(std::vector<std::thread>& threads, const std::string& what,
                          std::chrono::seconds limit = kWaitLimit) {
  TWatchdog dog(what, limit);
  for (std::thread& t : threads) t.join();
}

}  // namespace parlevo::testing_support
