// Lets the program's stop end every mail transaction and MX lookup under way at once: their
// sockets are shut down, which wakes a client waiting on a silent server, and a wake descriptor
// that every lookup polls becomes readable. Later transactions and lookups fail before they
// begin. Once cancelled it stays cancelled (the program is stopping).
//
// Thread safety: every method may be called from any thread.
#pragma once

#include <mutex>
#include <vector>

namespace parlevo {

class TMailCancel {
 public:
  // Throws std::system_error when the wake descriptor cannot be made.
  TMailCancel();
  ~TMailCancel();
  TMailCancel(const TMailCancel&) = delete;
  TMailCancel& operator=(const TMailCancel&) = delete;

  void Cancel();
  bool Cancelled() const;

  // For a waiter that polls: readable from the moment Cancel runs, for good. It stays open for
  // the life of this object.
  int WakeFd() const { return wake_fd_; }

  // For the SMTP client: registers a new socket; false (socket not registered) when cancelled.
  bool Watch(int fd);
  // For the SMTP client: forgets the socket and closes it, so Cancel never reaches a reused
  // number.
  void ForgetAndClose(int fd);

 private:
  mutable std::mutex lock_;
  bool cancelled_ = false;
  std::vector<int> sockets_;
  int wake_fd_ = -1;
};

}  // namespace parlevo
