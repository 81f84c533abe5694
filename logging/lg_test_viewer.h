// Test helpers of the logging library (tests and the lg_test_viewer tool only): a decoder of the
// binary log format and a small log viewer that serves the pipe (a Unix socket) or TCP on
// 127.0.0.1, performs the greeting exchange, decodes every packet it receives and, for TCP,
// answers each packet with two bytes.
#pragma once

#include <algorithm>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace parlevo::logging::testing {

// One packet as read back from the wire or a file.
struct DecodedPacket {
  uint16_t type = 0;  // 4 log entry, 6 process flow, 7 log header
  // Log entry and process flow.
  int32_t entry_type = 0;  // entry type code, or the process flow type
  int32_t viewer_id = 0;
  std::string app_name;
  std::string session_name;
  std::string title;
  std::string host_name;
  std::string data;
  uint32_t process_id = 0;
  uint32_t thread_id = 0;
  double timestamp = 0;
  uint32_t color = 0;
  // Log header.
  std::string content;

  bool IsEntry() const { return type == 4; }
  bool IsFlow() const { return type == 6; }
  bool IsHeader() const { return type == 7; }
};

inline uint32_t ReadU32(std::string_view bytes, size_t at) {
  if (at + 4 > bytes.size()) throw std::runtime_error("packet body too short");
  uint32_t value;
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

inline double ReadDouble(std::string_view bytes, size_t at) {
  if (at + 8 > bytes.size()) throw std::runtime_error("packet body too short");
  double value;
  std::memcpy(&value, bytes.data() + at, 8);
  return value;
}

// Decodes one body; throws std::runtime_error when the lengths do not add up.
inline DecodedPacket DecodePacket(uint16_t type, std::string_view body) {
  DecodedPacket packet;
  packet.type = type;
  auto take = [&](size_t& at, uint32_t length) {
    if (at + length > body.size()) throw std::runtime_error("string runs past the body");
    std::string text(body.substr(at, length));
    at += length;
    return text;
  };
  if (type == 4) {
    packet.entry_type = static_cast<int32_t>(ReadU32(body, 0));
    packet.viewer_id = static_cast<int32_t>(ReadU32(body, 4));
    const uint32_t app = ReadU32(body, 8), session = ReadU32(body, 12), title = ReadU32(body, 16),
                   host = ReadU32(body, 20), data = ReadU32(body, 24);
    packet.process_id = ReadU32(body, 28);
    packet.thread_id = ReadU32(body, 32);
    packet.timestamp = ReadDouble(body, 36);
    packet.color = ReadU32(body, 44);
    size_t at = 48;
    packet.app_name = take(at, app);
    packet.session_name = take(at, session);
    packet.title = take(at, title);
    packet.host_name = take(at, host);
    packet.data = take(at, data);
    if (at != body.size()) throw std::runtime_error("log entry body has extra bytes");
  } else if (type == 6) {
    packet.entry_type = static_cast<int32_t>(ReadU32(body, 0));
    const uint32_t title = ReadU32(body, 4), host = ReadU32(body, 8);
    packet.process_id = ReadU32(body, 12);
    packet.thread_id = ReadU32(body, 16);
    packet.timestamp = ReadDouble(body, 20);
    size_t at = 28;
    packet.title = take(at, title);
    packet.host_name = take(at, host);
    if (at != body.size()) throw std::runtime_error("process flow body has extra bytes");
  } else if (type == 7) {
    const uint32_t length = ReadU32(body, 0);
    size_t at = 4;
    packet.content = take(at, length);
    if (at != body.size()) throw std::runtime_error("log header body has extra bytes");
  } else {
    throw std::runtime_error("unknown packet type " + std::to_string(type));
  }
  return packet;
}

// Decodes a sequence of framed packets (a file's bytes after "LOGF").
inline std::vector<DecodedPacket> DecodePackets(std::string_view bytes) {
  std::vector<DecodedPacket> packets;
  size_t at = 0;
  while (at < bytes.size()) {
    if (at + 6 > bytes.size()) throw std::runtime_error("truncated packet frame");
    uint16_t type;
    std::memcpy(&type, bytes.data() + at, 2);
    const uint32_t size = ReadU32(bytes, at + 2);
    if (at + 6 + size > bytes.size()) throw std::runtime_error("truncated packet body");
    packets.push_back(DecodePacket(type, bytes.substr(at + 6, size)));
    at += 6 + size;
  }
  return packets;
}

// One line describing a packet, as the lg_test_viewer tool prints it.
inline std::string DescribePacket(const DecodedPacket& p) {
  if (p.IsHeader()) {
    std::string content = p.content;
    for (char& c : content) {
      if (c == '\r' || c == '\n') c = ' ';
    }
    return "header " + content;
  }
  if (p.IsFlow()) return "flow " + std::to_string(p.entry_type) + " " + p.title;
  return "entry " + std::to_string(p.entry_type) + " [" + p.session_name + "] " + p.title;
}

class TestViewer {
 public:
  enum class Behaviour {
    Normal,  // greet, read the client greeting and the packets
    Silent,  // accept, then never send anything
    GreetingWithoutLineFeedThenClose,
    AnswerOneByteThenClose,  // TCP: answer the first packet (the log header) short
    StopReading,             // greet, then never read (a frozen viewer window)
    EndlessGreeting,         // send greeting bytes without a line feed as fast as possible
    DribbledGreeting,        // send a greeting byte every 20 ms, never a line feed
  };

  // A viewer on the Unix socket path.
  static std::unique_ptr<TestViewer> OnUnixSocket(const std::string& path,
                                                  Behaviour behaviour = Behaviour::Normal) {
    ::unlink(path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0) {
      if (fd >= 0) ::close(fd);
      throw std::runtime_error("cannot serve " + path);
    }
    return std::unique_ptr<TestViewer>(new TestViewer(fd, false, behaviour, path, 0));
  }

  // A viewer on 127.0.0.1; port 0 picks a free one (see Port()).
  static std::unique_ptr<TestViewer> OnTcp(uint16_t port, Behaviour behaviour = Behaviour::Normal) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (fd >= 0) ::close(fd);
      throw std::runtime_error("cannot serve TCP port " + std::to_string(port));
    }
    return std::unique_ptr<TestViewer>(
        new TestViewer(fd, true, behaviour, {}, ntohs(address.sin_port)));
  }

  ~TestViewer() { Stop(); }
  TestViewer(const TestViewer&) = delete;
  TestViewer& operator=(const TestViewer&) = delete;

  uint16_t Port() const { return port_; }

  // Called for every decoded packet (on the viewer's connection thread).
  void SetOnPacket(std::function<void(const DecodedPacket&)> handler) {
    std::lock_guard lock(lock_);
    on_packet_ = std::move(handler);
  }

  // Waits until the condition over the viewer holds; false after a generous safety limit, so a
  // broken test fails instead of hanging.
  bool WaitUntil(const std::function<bool()>& condition) {
    std::unique_lock lock(lock_);
    return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return condition(); });
  }
  bool WaitForPackets(size_t count) {
    return WaitUntil([&] { return packets_.size() >= count; });
  }
  bool WaitForEntries(size_t count) {
    return WaitUntil([&] {
      return static_cast<size_t>(
                 std::count_if(packets_.begin(), packets_.end(),
                               [](const DecodedPacket& p) { return p.IsEntry(); })) >= count;
    });
  }
  // Waits for a packet with this title.
  bool WaitForTitle(const std::string& title) {
    return WaitUntil([&] {
      return std::any_of(packets_.begin(), packets_.end(),
                         [&](const DecodedPacket& p) { return p.title == title; });
    });
  }
  bool WaitForConnections(int count) {
    return WaitUntil([&] { return connections_ >= count; });
  }

  std::vector<DecodedPacket> Packets() const {
    std::lock_guard lock(lock_);
    return packets_;
  }
  std::vector<DecodedPacket> Entries() const {
    std::vector<DecodedPacket> entries;
    for (const auto& p : Packets()) {
      if (p.IsEntry()) entries.push_back(p);
    }
    return entries;
  }
  std::vector<std::string> ClientGreetings() const {
    std::lock_guard lock(lock_);
    return greetings_;
  }
  int Connections() const {
    std::lock_guard lock(lock_);
    return connections_;
  }
  std::vector<std::string> Errors() const {
    std::lock_guard lock(lock_);
    return errors_;
  }

  // Stops listening and closes every connection.
  void Stop() {
    {
      std::lock_guard lock(lock_);
      if (stopped_) return;
      stopped_ = true;
      for (int fd : client_fds_) ::shutdown(fd, SHUT_RDWR);
    }
    ::shutdown(listen_fd_, SHUT_RDWR);
    char wake = 1;
    (void)!::write(wake_pipe_[1], &wake, 1);
    if (accept_thread_.joinable()) accept_thread_.join();
    for (auto& thread : client_threads_) {
      if (thread.joinable()) thread.join();
    }
    ::close(listen_fd_);
    ::close(wake_pipe_[0]);
    ::close(wake_pipe_[1]);
    if (!path_.empty()) ::unlink(path_.c_str());
  }

 private:
  TestViewer(int listen_fd, bool tcp, Behaviour behaviour, std::string path, uint16_t port)
      : listen_fd_(listen_fd),
        tcp_(tcp),
        behaviour_(behaviour),
        path_(std::move(path)),
        port_(port) {
    if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    accept_thread_ = std::thread([this] { AcceptLoop(); });
  }

  void AcceptLoop() {
    for (;;) {
      pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::lock_guard lock(lock_);
      if (stopped_) {
        ::close(fd);
        return;
      }
      ++connections_;
      client_fds_.push_back(fd);
      client_threads_.emplace_back([this, fd] { Serve(fd); });
      changed_.notify_all();
    }
  }

  bool Stopped() const {
    std::lock_guard lock(lock_);
    return stopped_;
  }

  static bool ReadExactly(int fd, void* data, size_t count) {
    auto* bytes = static_cast<char*>(data);
    size_t done = 0;
    while (done < count) {
      const ssize_t n = ::recv(fd, bytes + done, count - done, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return true;
  }

  void Serve(int fd) {
    try {
      ServeConnection(fd);
    } catch (const std::exception& e) {
      std::lock_guard lock(lock_);
      errors_.push_back(e.what());
    }
    std::lock_guard lock(lock_);
    ::close(fd);
    std::erase(client_fds_, fd);
    changed_.notify_all();
  }

  void ServeConnection(int fd) {
    if (behaviour_ == Behaviour::Silent) {
      char byte;
      while (::recv(fd, &byte, 1, 0) > 0) {
      }
      return;
    }
    if (behaviour_ == Behaviour::GreetingWithoutLineFeedThenClose) {
      ::send(fd, "viewer", 6, MSG_NOSIGNAL);
      return;
    }
    if (behaviour_ == Behaviour::EndlessGreeting || behaviour_ == Behaviour::DribbledGreeting) {
      const bool dribble = behaviour_ == Behaviour::DribbledGreeting;
      const std::string bytes(dribble ? 1 : 4096, 'x');
      while (!Stopped() && ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0) {
        if (dribble) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      return;
    }
    const std::string greeting = "Test log viewer 1.0\r\n";
    ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
    std::string line;
    for (char c = 0; c != '\n';) {
      if (!ReadExactly(fd, &c, 1)) return;
      if (c != '\n' && c != '\r') line += c;
    }
    {
      std::lock_guard lock(lock_);
      greetings_.push_back(line);
    }
    if (behaviour_ == Behaviour::StopReading) {
      pollfd wait{fd, POLLRDHUP, 0};  // until the client or Stop closes the connection
      while (!Stopped() && ::poll(&wait, 1, 50) >= 0 &&
             (wait.revents & (POLLRDHUP | POLLHUP)) == 0) {
      }
      return;
    }
    for (;;) {
      char frame[6];
      if (!ReadExactly(fd, frame, sizeof frame)) return;
      uint16_t type;
      uint32_t size;
      std::memcpy(&type, frame, 2);
      std::memcpy(&size, frame + 2, 4);
      std::string body(size, '\0');
      if (!ReadExactly(fd, body.data(), size)) return;
      DecodedPacket packet = DecodePacket(type, body);
      std::function<void(const DecodedPacket&)> handler;
      {
        std::lock_guard lock(lock_);
        packets_.push_back(packet);
        handler = on_packet_;
        changed_.notify_all();
      }
      if (handler) handler(packet);
      if (tcp_) {
        if (behaviour_ == Behaviour::AnswerOneByteThenClose) {
          ::send(fd, "k", 1, MSG_NOSIGNAL);
          return;
        }
        ::send(fd, "ok", 2, MSG_NOSIGNAL);
      }
    }
  }

  int listen_fd_;
  bool tcp_;
  Behaviour behaviour_;
  std::string path_;
  uint16_t port_;
  int wake_pipe_[2] = {-1, -1};

  mutable std::mutex lock_;
  std::condition_variable changed_;
  bool stopped_ = false;
  int connections_ = 0;
  std::vector<int> client_fds_;
  std::vector<std::thread> client_threads_;
  std::vector<DecodedPacket> packets_;
  std::vector<std::string> greetings_;
  std::vector<std::string> errors_;
  std::function<void(const DecodedPacket&)> on_packet_;
  std::thread accept_thread_;
};

}  // namespace parlevo::logging::testing
