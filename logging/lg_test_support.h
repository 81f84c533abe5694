// Test helpers of the logging library (included by its tests only): a protocol that records what
// the core does with it, registered as "capture", and an in-memory configuration.
#pragma once

#include <fmt/format.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "logging/lg_config_reader.h"
#include "logging/lg_connections.h"
#include "logging/lg_exceptions.h"
#include "logging/lg_packets.h"
#include "logging/lg_protocol.h"
#include "logging/lg_protocol_factory.h"
#include "logging/lg_text.h"

namespace parlevo::logging::testing {

// What every capture protocol did, in order: "<caption>:connect", "<caption>:disconnect",
// "<caption>:write", and the packets each one received.
struct CaptureRecord {
  std::string caption;
  std::string host_name;
  std::string app_name;
  TLgPacketPtr packet;
};

class CaptureLog {
 public:
  static CaptureLog& Instance() {
    static CaptureLog log;
    return log;
  }
  void Reset() {
    std::lock_guard lock(lock_);
    events_.clear();
    packets_.clear();
  }
  void Event(const std::string& text) {
    std::lock_guard lock(lock_);
    events_.push_back(text);
  }
  void Packet(CaptureRecord record) {
    std::lock_guard lock(lock_);
    events_.push_back(record.caption + ":write");
    packets_.push_back(std::move(record));
  }
  std::vector<std::string> Events() const {
    std::lock_guard lock(lock_);
    return events_;
  }
  std::vector<CaptureRecord> Packets() const {
    std::lock_guard lock(lock_);
    return packets_;
  }
  // The log entries received by the protocol with that caption.
  std::vector<std::shared_ptr<TLgLogEntry>> Entries(const std::string& caption = "capture") const {
    std::vector<std::shared_ptr<TLgLogEntry>> result;
    for (const auto& record : Packets()) {
      if (record.caption != caption) continue;
      if (auto entry = std::dynamic_pointer_cast<TLgLogEntry>(record.packet))
        result.push_back(entry);
    }
    return result;
  }
  std::vector<std::shared_ptr<TLgProcessFlow>> Flows(const std::string& caption = "capture") const {
    std::vector<std::shared_ptr<TLgProcessFlow>> result;
    for (const auto& record : Packets()) {
      if (record.caption != caption) continue;
      if (auto flow = std::dynamic_pointer_cast<TLgProcessFlow>(record.packet)) {
        result.push_back(flow);
      }
    }
    return result;
  }

 private:
  mutable std::mutex lock_;
  std::vector<std::string> events_;
  std::vector<CaptureRecord> packets_;
};

// Options: caption (names the instance in the log), level, fail ("connect", "write",
// "disconnect"), async (reports itself asynchronous; still writes on the caller's thread).
class CaptureProtocol : public TLgProtocol {
 public:
  std::string GetName() const override { return "capture"; }
  void Initialize(std::string_view options) override {
    TLgOptionsParser::Parse(
        GetName(), options,
        [this](const std::string& protocol, const std::string& key, const std::string& value) {
          if (key == "caption") {
            caption_ = value;
          } else if (key == "level") {
            level_ = LevelFromKeyword(value).value_or(TLgLevel::Debug);
          } else if (key == "fail") {
            fail_ = value;
          } else if (key == "async") {
            async_ = value == "true";
          } else {
            throw ELogCenterError(
                fmt::format("Option \"{}\" not available for protocol \"{}\"", key, protocol));
          }
        });
  }
  void Connect() override {
    CaptureLog::Instance().Event(caption_ + ":connect");
    if (fail_ == "connect") throw ELgProtocolError(caption_ + " cannot connect", GetName(), "");
  }
  void Disconnect() override {
    CaptureLog::Instance().Event(caption_ + ":disconnect");
    if (fail_ == "disconnect") {
      throw ELgProtocolError(caption_ + " cannot disconnect", GetName(), "");
    }
  }
  void WritePacket(const TLgPacketPtr& packet) override {
    if (fail_ == "write") throw ELgProtocolError(caption_ + " cannot write", GetName(), "");
    CaptureLog::Instance().Packet({caption_, host_name_, app_name_, packet});
  }
  bool AsyncEnabled() const override { return async_; }
  TLgLevel Level() const override { return level_; }
  void SetHostName(std::string host_name) override { host_name_ = std::move(host_name); }
  void SetAppName(std::string app_name) override { app_name_ = std::move(app_name); }
  void SetOnError(ErrorHandler handler) override { on_error_ = std::move(handler); }

 private:
  std::string caption_ = "capture";
  std::string fail_;
  bool async_ = false;
  TLgLevel level_ = TLgLevel::Debug;
  std::string host_name_;
  std::string app_name_;
  ErrorHandler on_error_;
};

inline void RegisterCaptureProtocol() {
  TLgProtocolFactory::RegisterProtocol<CaptureProtocol>("capture");
}

// A configuration held in memory: keys in order of first appearance, the last value wins.
class FakeConfig : public TLgConfigReader {
 public:
  FakeConfig(std::initializer_list<std::pair<std::string, std::string>> lines) {
    for (const auto& [key, value] : lines) Set(key, value);
  }
  void Set(const std::string& key, const std::string& value) {
    for (auto& [k, v] : lines_) {
      if (SameText(k, key)) {
        v = value;
        return;
      }
    }
    lines_.emplace_back(key, value);
  }
  bool Contains(std::string_view key) const override { return Find(key) != nullptr; }
  std::string ReadString(std::string_view key, std::string_view default_value) const override {
    const std::string* value = Find(key);
    return value && !value->empty() ? *value : std::string(default_value);
  }
  bool ReadBoolean(std::string_view key, bool default_value) const override {
    const std::string* value = Find(key);
    if (!value || value->empty()) return default_value;
    const std::string lower = LowerCaseText(*value);
    return lower == "true" || lower == "1" || lower == "yes";
  }
  TLgLevel ReadLevel(std::string_view key, TLgLevel default_value) const override {
    const std::string* value = Find(key);
    return value ? LevelFromKeyword(*value).value_or(default_value) : default_value;
  }
  uint32_t ReadColor(std::string_view key, uint32_t default_value) const override {
    const std::string* value = Find(key);
    if (!value || value->size() != 8 || value->substr(0, 2) != "0x") return default_value;
    const uint32_t rgb = static_cast<uint32_t>(std::stoul(value->substr(2), nullptr, 16));
    return ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16);
  }
  size_t Count() const override { return lines_.size(); }
  const std::string& Key(size_t index) const override { return lines_.at(index).first; }

 private:
  const std::string* Find(std::string_view key) const {
    for (const auto& [k, v] : lines_) {
      if (SameText(k, key)) return &v;
    }
    return nullptr;
  }
  std::vector<std::pair<std::string, std::string>> lines_;
};

}  // namespace parlevo::logging::testing
