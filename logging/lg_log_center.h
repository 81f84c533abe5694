// The central logging object: application and host names stamped on every packet, the global
// level filter, the enabled switch, the output protocols built from a connections string, and
// the sessions. Sessions hand their packets to it; it fans each packet out to every protocol.
//
// Thread safety: any thread may log and any thread may change the configuration. One lock
// serializes connection changes and configuration. The fan-out takes it only to read the
// protocol list, never across a protocol's I/O: each protocol serializes its own writes, so
// packets from different threads reach each protocol one at a time, and an output that waits
// for its peer holds up no other output's writers. Enabled, the levels and the host name are
// read without the lock. Nothing a session calls here raises: protocol failures end in DoError.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "logging/lg_clock.h"
#include "logging/lg_config_reader.h"
#include "logging/lg_connections.h"
#include "logging/lg_exceptions.h"
#include "logging/lg_level.h"
#include "logging/lg_packets.h"
#include "logging/lg_protocol.h"
#include "logging/lg_session.h"
#include "logging/lg_session_manager.h"
#include "platform/datetime.h"

namespace parlevo::logging {

class TLogCenter {
 public:
  // How long disconnecting waits, in all, for asynchronous outputs to write what they hold.
  static constexpr std::chrono::milliseconds kStopGrace{1000};

  // Returns true to suppress the packet.
  using FilterHandler = std::function<bool(TLogCenter& sender, const TLgPacket& packet)>;
  using ErrorHandler = std::function<void(TLogCenter& sender, const std::exception& error)>;
  using ProcessFlowHandler = std::function<void(TLogCenter& sender, const TLgProcessFlow& flow)>;
  using LogEntryHandler = std::function<void(TLogCenter& sender, const TLgLogEntry& entry)>;

  // Logging starts disabled, without protocols and sessions.
  explicit TLogCenter(std::string app_name);
  // Disconnects and frees the protocols, then the sessions.
  virtual ~TLogCenter();
  TLogCenter(const TLogCenter&) = delete;
  TLogCenter& operator=(const TLogCenter&) = delete;

  std::string AppName() const;
  void SetAppName(std::string app_name);
  const std::string& HostName() const { return host_name_; }
  // The connections string last applied successfully (unexpanded).
  std::string Connections() const;
  bool Enabled() const { return enabled_.load(std::memory_order_acquire); }
  TLgLevel Level() const { return level_.load(std::memory_order_relaxed); }
  void SetLevel(TLgLevel level) { level_.store(level, std::memory_order_relaxed); }
  // The level of session operations that take no level argument.
  TLgLevel DefaultLevel() const { return default_level_.load(std::memory_order_relaxed); }
  void SetDefaultLevel(TLgLevel level) { default_level_.store(level, std::memory_order_relaxed); }
  TLgResolution Resolution() const { return resolution_.load(std::memory_order_relaxed); }
  void SetResolution(TLgResolution value) { resolution_.store(value, std::memory_order_relaxed); }
  // True while at least one protocol writes from its own thread.
  bool IsMultiThreaded() const { return multi_threaded_.load(std::memory_order_acquire); }
  int ProtocolCount() const;
  TLgSessionManager& Sessions() { return sessions_; }
  TLgProtocolVariables& Variables() { return variables_; }

  // A new session of this center, kept by the session manager (`store`: also found by name and
  // given the configured per-session settings). Lives as long as this center.
  TLgSession& AddSession(std::string name, bool store);

  // Replaces the protocols by those the connections string describes. A string that cannot be
  // applied raises ELgInvalidConnectionsError and leaves no protocol.
  void SetConnections(std::string_view connections);
  // The same, except that an empty string changes nothing and returns false, and a failure goes
  // to DoError and returns false.
  bool TryConnections(std::string_view connections);
  void Enable();
  void Disable();
  // For a stop: from now until they are connected again, no output waits for its peer beyond
  // deadline, a writer blocked on a stalled peer included, so that outputs stalled together all
  // give up by one deadline. Takes no lock a writer holds; any thread.
  void LimitWaits(std::chrono::steady_clock::time_point deadline) noexcept;
  // Applies "connections", "enabled", "appname", "level" and "defaultlevel", then the session
  // defaults and per-session settings. Reading the file is the caller's part: a file that
  // cannot be read is reported through DoError and nothing is applied.
  void LoadConfiguration(const TLgConfigReader& configuration);
  // Reads the configuration file and applies it; a file that cannot be read goes to DoError as
  // an ELgLoadConfigurationError and changes nothing.
  void LoadConfiguration(const std::string& file_name);

  // Called by sessions after their own level test. Never raise.
  void SendLogEntry(const std::shared_ptr<TLgLogEntry>& entry) noexcept;
  void SendProcessFlow(const std::shared_ptr<TLgProcessFlow>& flow) noexcept;

  // The time stamp for a new packet (local time).
  virtual TDateTime Now();

  void SetOnFilter(FilterHandler handler);
  void SetOnError(ErrorHandler handler);
  void SetOnProcessFlow(ProcessFlowHandler handler);
  void SetOnLogEntry(LogEntryHandler handler);

  // Reports a failure inside the library (calls the error handler when one is set). Never
  // raises.
  virtual void DoError(const std::exception& error) noexcept;

 protected:
  // True suppresses the packet.
  virtual bool DoFilter(const TLgPacket& packet);
  virtual void DoProcessFlow(const TLgProcessFlow& flow);
  virtual void DoLogEntry(const TLgLogEntry& entry);

 private:
  void ApplyConnections(std::string_view connections);  // main lock held
  void RemoveProtocols();                               // main lock held
  void ConnectProtocols();                              // main lock held
  void DisconnectProtocols();                           // main lock held
  void WriteToProtocols(const TLgPacketPtr& packet);
  void PublishProtocols();  // main lock held
  using ProtocolList = std::vector<std::shared_ptr<TLgProtocol>>;
  std::shared_ptr<const ProtocolList> PublishedProtocols() const;
  void ReportCurrentException() noexcept;

  mutable std::recursive_mutex main_lock_;
  mutable std::mutex app_name_lock_;
  std::string app_name_;
  const std::string host_name_;
  std::string connections_;
  std::atomic<bool> enabled_{false};
  std::atomic<TLgLevel> level_{TLgLevel::Debug};
  std::atomic<TLgLevel> default_level_{TLgLevel::Message};
  std::atomic<TLgResolution> resolution_{TLgResolution::Standard};
  std::atomic<bool> multi_threaded_{false};
  ProtocolList protocols_;
  // What the fan-out and LimitWaits read: a copy of protocols_, replaced whenever it changes.
  mutable std::mutex published_lock_;
  std::shared_ptr<const ProtocolList> published_ = std::make_shared<const ProtocolList>();
  TLgProtocolVariables variables_;

  mutable std::mutex event_lock_;
  FilterHandler on_filter_;
  ErrorHandler on_error_;
  ProcessFlowHandler on_process_flow_;
  LogEntryHandler on_log_entry_;

  TLgSessionManager sessions_;
};

}  // namespace parlevo::logging
