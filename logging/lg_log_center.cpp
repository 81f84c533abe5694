#include "logging/lg_log_center.h"

#include <unistd.h>

#include <climits>
#include <utility>

#include "logging/lg_configuration.h"
#include "logging/lg_protocol_factory.h"

namespace parlevo::logging {

namespace {

// The machine's full host name (host names here are often longer than the short names of other
// systems); empty when it cannot be read.
std::string LgComputerName() {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (::gethostname(buffer, sizeof buffer - 1) != 0) return {};
  return std::string(buffer);
}

}  // namespace

TLogCenter::TLogCenter(std::string app_name)
    : app_name_(std::move(app_name)), host_name_(LgComputerName()) {}

TLogCenter::~TLogCenter() {
  std::lock_guard lock(main_lock_);
  RemoveProtocols();
}

std::string TLogCenter::AppName() const {
  // Its own lock: every packet reads it, and the main lock may be held while an output connects.
  std::lock_guard lock(app_name_lock_);
  return app_name_;
}

void TLogCenter::SetAppName(std::string app_name) {
  std::lock_guard lock(app_name_lock_);
  app_name_ = std::move(app_name);
}

std::string TLogCenter::Connections() const {
  std::lock_guard lock(main_lock_);
  return connections_;
}

int TLogCenter::ProtocolCount() const {
  std::lock_guard lock(main_lock_);
  return static_cast<int>(protocols_.size());
}

TLgSession& TLogCenter::AddSession(std::string name, bool store) {
  return *sessions_.Add(std::make_unique<TLgSession>(this, std::move(name)), store);
}

void TLogCenter::SetConnections(std::string_view connections) {
  std::lock_guard lock(main_lock_);
  ApplyConnections(connections);
}

bool TLogCenter::TryConnections(std::string_view connections) {
  if (connections.empty()) return false;
  std::lock_guard lock(main_lock_);
  try {
    ApplyConnections(connections);
    return true;
  } catch (const std::exception& e) {
    DoError(e);
  } catch (...) {
    ReportCurrentException();
  }
  return false;
}

void TLogCenter::Enable() {
  std::lock_guard lock(main_lock_);
  if (enabled_.load()) return;
  enabled_.store(true, std::memory_order_release);
  ConnectProtocols();
}

void TLogCenter::Disable() {
  std::lock_guard lock(main_lock_);
  if (!enabled_.load()) return;
  enabled_.store(false, std::memory_order_release);
  DisconnectProtocols();
}

void TLogCenter::LoadConfiguration(const std::string& file_name) {
  TLgConfiguration configuration;
  try {
    configuration.LoadFromFile(file_name);
  } catch (const ELgLoadConfigurationError& e) {
    DoError(e);
    return;
  }
  LoadConfiguration(configuration);
}

void TLogCenter::LoadConfiguration(const TLgConfigReader& configuration) {
  {
    std::lock_guard lock(main_lock_);
    const std::string connections = configuration.ReadString("connections", "");
    if (!configuration.Contains("enabled")) {
      TryConnections(connections);
    } else if (configuration.ReadBoolean("enabled", false)) {
      TryConnections(connections);
      Enable();
    } else {
      Disable();
      TryConnections(connections);
    }
    if (configuration.Contains("appname")) {
      SetAppName(configuration.ReadString("appname", AppName()));
    }
    if (configuration.Contains("level")) SetLevel(configuration.ReadLevel("level", Level()));
    if (configuration.Contains("defaultlevel")) {
      SetDefaultLevel(configuration.ReadLevel("defaultlevel", DefaultLevel()));
    }
  }
  sessions_.LoadConfiguration(configuration);
}

void TLogCenter::ApplyConnections(std::string_view connections) {
  RemoveProtocols();
  try {
    const std::string expanded = variables_.Expand(connections);
    TLgConnectionsParser::Parse(
        expanded, [this](const std::string& name, const std::string& options) {
          std::shared_ptr<TLgProtocol> protocol = TLgProtocolFactory::GetProtocol(name, options);
          protocol->SetOnError([this](TLgProtocol&, const std::exception& e) { DoError(e); });
          TLgProtocol& added = *protocol;
          protocols_.push_back(std::move(protocol));
          if (added.AsyncEnabled()) multi_threaded_.store(true, std::memory_order_release);
          added.SetAppName(AppName());
          added.SetHostName(host_name_);
        });
  } catch (const std::exception& e) {
    RemoveProtocols();
    throw ELgInvalidConnectionsError(e.what());
  }
  connections_ = std::string(connections);
  PublishProtocols();
  if (Enabled()) ConnectProtocols();
}

void TLogCenter::RemoveProtocols() {
  DisconnectProtocols();
  multi_threaded_.store(false, std::memory_order_release);
  protocols_.clear();
  connections_.clear();
  // A writer still holding the old list finds its protocols disconnected: they drop what comes
  // late, and the last holder frees them.
  PublishProtocols();
}

void TLogCenter::PublishProtocols() {
  auto list = std::make_shared<const ProtocolList>(protocols_);
  std::lock_guard lock(published_lock_);
  published_ = std::move(list);
}

std::shared_ptr<const TLogCenter::ProtocolList> TLogCenter::PublishedProtocols() const {
  std::lock_guard lock(published_lock_);
  return published_;
}

void TLogCenter::LimitWaits(std::chrono::steady_clock::time_point deadline) noexcept {
  const auto protocols = PublishedProtocols();
  for (const auto& protocol : *protocols) protocol->LimitWaits(deadline);
}

void TLogCenter::ConnectProtocols() {
  for (auto& protocol : protocols_) {
    try {
      protocol->Connect();
    } catch (const std::exception& e) {
      DoError(e);
    } catch (...) {
      ReportCurrentException();
    }
  }
}

void TLogCenter::DisconnectProtocols() {
  // One deadline for all: outputs that stalled together cost their grace once, not each. Every
  // output learns it first, so that all stalled ones give up at the same moment.
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  for (auto& protocol : protocols_) protocol->LimitWaits(deadline);
  for (auto& protocol : protocols_) {
    try {
      protocol->DisconnectBy(deadline);
    } catch (const std::exception& e) {
      DoError(e);
    } catch (...) {
      ReportCurrentException();
    }
  }
}

void TLogCenter::WriteToProtocols(const TLgPacketPtr& packet) {
  // A session may have passed its enabled test just before logging was switched off; the
  // protocols are disconnected by then and must not be reopened by a late packet.
  if (!Enabled()) return;
  const auto protocols = PublishedProtocols();
  for (const auto& protocol : *protocols) {
    if (packet->Level() < protocol->Level()) continue;
    try {
      protocol->WritePacket(packet);
    } catch (const std::exception& e) {
      DoError(e);
    } catch (...) {
      ReportCurrentException();
    }
  }
}

void TLogCenter::SendLogEntry(const std::shared_ptr<TLgLogEntry>& entry) noexcept {
  if (!entry) return;
  try {
    if (IsMultiThreaded()) entry->SetThreadSafe(true);
    entry->SetAppName(AppName());
    entry->SetHostName(host_name_);
    if (DoFilter(*entry)) return;
    WriteToProtocols(entry);
    DoLogEntry(*entry);
  } catch (const std::exception& e) {
    DoError(e);
  } catch (...) {
    ReportCurrentException();
  }
}

void TLogCenter::SendProcessFlow(const std::shared_ptr<TLgProcessFlow>& flow) noexcept {
  if (!flow) return;
  try {
    if (IsMultiThreaded()) flow->SetThreadSafe(true);
    flow->SetHostName(host_name_);
    if (DoFilter(*flow)) return;
    WriteToProtocols(flow);
    DoProcessFlow(*flow);
  } catch (const std::exception& e) {
    DoError(e);
  } catch (...) {
    ReportCurrentException();
  }
}

TDateTime TLogCenter::Now() {
  return TLgClock::Now(Resolution());
}

void TLogCenter::SetOnFilter(FilterHandler handler) {
  std::lock_guard lock(event_lock_);
  on_filter_ = std::move(handler);
}

void TLogCenter::SetOnError(ErrorHandler handler) {
  std::lock_guard lock(event_lock_);
  on_error_ = std::move(handler);
}

void TLogCenter::SetOnProcessFlow(ProcessFlowHandler handler) {
  std::lock_guard lock(event_lock_);
  on_process_flow_ = std::move(handler);
}

void TLogCenter::SetOnLogEntry(LogEntryHandler handler) {
  std::lock_guard lock(event_lock_);
  on_log_entry_ = std::move(handler);
}

bool TLogCenter::DoFilter(const TLgPacket& packet) {
  FilterHandler handler;
  {
    std::lock_guard lock(event_lock_);
    handler = on_filter_;
  }
  return handler ? handler(*this, packet) : false;
}

void TLogCenter::DoError(const std::exception& error) noexcept {
  try {
    ErrorHandler handler;
    {
      std::lock_guard lock(event_lock_);
      handler = on_error_;
    }
    if (handler) handler(*this, error);
  } catch (...) {
    // The error handler is the last place a failure can be reported; a handler that fails
    // itself has nowhere further to go.
  }
}

void TLogCenter::DoProcessFlow(const TLgProcessFlow& flow) {
  ProcessFlowHandler handler;
  {
    std::lock_guard lock(event_lock_);
    handler = on_process_flow_;
  }
  if (handler) handler(*this, flow);
}

void TLogCenter::DoLogEntry(const TLgLogEntry& entry) {
  LogEntryHandler handler;
  {
    std::lock_guard lock(event_lock_);
    handler = on_log_entry_;
  }
  if (handler) handler(*this, entry);
}

void TLogCenter::ReportCurrentException() noexcept {
  DoError(ELogCenterError("Unknown exception"));
}

}  // namespace parlevo::logging
