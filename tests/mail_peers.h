// The loopback mail peers of tests/mail_peers.py as a test sees them: SMTP servers on 127.0.0.x
// port 25 and a DNS server answering MX queries, run in a process of their own, and what they
// recorded (sessions, envelopes, messages and their MIME parts).
//
// Thread safety: meant for one test thread; the peers run in their own process.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/temp_folder.h"

namespace parlevo::testing_support {

namespace fs = std::filesystem;

// The recorder writes texts as hex, "-" for an empty one.
inline std::string Unhex(const std::string& hex) {
  if (hex == "-") return {};
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  }
  return out;
}

// Whether `what` stands anywhere in `text`.
inline bool Contains(const std::string& text, const std::string& what) {
  return text.find(what) != std::string::npos;
}

struct TPart {
  std::string content_type, bytes, text;
};

struct TMessage {
  std::string ip, raw, subject, mail_from;
  std::vector<std::string> rcpt;
  std::vector<TPart> parts;
  int defects = -1;

  // The calendar part's text with folded lines joined; empty when there is none.
  std::string Calendar() const {
    for (const auto& part : parts) {
      if (part.content_type.rfind("text/calendar", 0) != 0) continue;
      std::string ics = part.text;
      for (size_t at; (at = ics.find("\r\n ")) != std::string::npos;) ics.erase(at, 3);
      return ics;
    }
    return {};
  }
};

// The peer process, started with its arguments and stopped when this object goes.
class TMailPeers {
 public:
  explicit TMailPeers(const std::vector<std::string>& args) {
    record_ = folder_.path() / "record.txt";
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> argv_text = {"/usr/bin/python3",
                                          PARLEVO_SOURCE_DIR "/tests/mail_peers.py", "--record",
                                          record_.string()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], 1);
      close(out[0]);
      close(out[1]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    // Peers that hang before they are ready fail the test within a minute instead of hanging it.
    pollfd ready{out[0], POLLIN, 0};
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < until) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (poll(&ready, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
      if (read(out[0], &c, 1) != 1 || c == '\n') break;
      line += c;
    }
    close(out[0]);
    std::istringstream in(line);
    std::string word;
    in >> word >> dns_port;
    if (word != "ready") {
      Stop();
      throw std::runtime_error("mail peers did not start: " + line);
    }
    while (in >> word) {
      const size_t eq = word.find('=');
      ip[word.substr(0, eq)] = word.substr(eq + 1);
    }
  }
  ~TMailPeers() { Stop(); }
  TMailPeers(const TMailPeers&) = delete;
  TMailPeers& operator=(const TMailPeers&) = delete;

  std::vector<std::vector<std::string>> Events() const {
    std::vector<std::vector<std::string>> events;
    std::ifstream in(record_);
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::vector<std::string> event;
      std::string field;
      while (fields >> field) event.push_back(field);
      if (!event.empty()) events.push_back(std::move(event));
    }
    return events;
  }
  // Events of one kind (optionally at one address), in order.
  std::vector<std::vector<std::string>> Events(const std::string& kind,
                                               const std::string& at = "") const {
    std::vector<std::vector<std::string>> found;
    for (auto& e : Events()) {
      if (e[0] == kind && (at.empty() || (e.size() > 1 && e[1] == at))) found.push_back(e);
    }
    return found;
  }
  std::vector<TMessage> Messages() const {
    std::vector<TMessage> messages;
    std::map<std::string, std::pair<std::string, std::vector<std::string>>> envelope;
    for (auto& e : Events()) {
      // Envelopes belong to one connection: concurrent sessions on one address stay apart.
      const std::string session = e.size() > 3 ? e[1] + "#" + e[3] : e.size() > 1 ? e[1] : "";
      if (e[0] == "MAIL") envelope[session] = {Unhex(e[2]), {}};
      if (e[0] == "RCPT") envelope[session].second.push_back(Unhex(e[2]));
      if (e[0] == "MESSAGE") {
        TMessage m;
        m.ip = e[1];
        m.raw = Unhex(e[2]);
        m.mail_from = envelope[session].first;
        m.rcpt = envelope[session].second;
        messages.push_back(std::move(m));
      }
      if (e[0] == "SUBJECT") messages.back().subject = Unhex(e[2]);
      if (e[0] == "PART") messages.back().parts.push_back({Unhex(e[2]), Unhex(e[3]), Unhex(e[4])});
      if (e[0] == "DEFECTS") messages.back().defects = std::stoi(e[2]);
    }
    return messages;
  }

  uint16_t dns_port = 0;
  std::map<std::string, std::string> ip;

 private:
  // A peer that ignores SIGTERM is killed after a while rather than waited for without end.
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > until) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
  }

  TTempFolder folder_{"parlevo_mail"};
  fs::path record_;
  pid_t pid_ = -1;
};

}  // namespace parlevo::testing_support
