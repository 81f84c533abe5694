#include "logging/lg_protocol_base.h"

#include <chrono>
#include <thread>

#include <fmt/format.h>

#include "logging/lg_binary_format.h"
#include "logging/lg_text.h"

namespace parlevo::logging {
namespace {

constexpr std::string_view kBaseOptions[] = {
    "level",           "caption",        "reconnect",       "reconnect.interval",
    "backlog.enabled", "backlog.queue",  "backlog.flushon", "backlog.keepopen",
    "async.enabled",   "async.throttle", "async.queue",     "async.clearondisconnect"};

int64_t SteadyMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TLgProtocolBase::TLgProtocolBase() : tick_source_(SteadyMilliseconds) {}

TLgProtocolBase::~TLgProtocolBase() = default;

void TLgProtocolBase::Shutdown() noexcept {
  try {
    Disconnect();
  } catch (...) {
    // Going away: there is no caller left to report to.
  }
}

void TLgProtocolBase::SetTickSource(TickSource source) {
  std::lock_guard lock(main_lock_);
  tick_source_ = source ? std::move(source) : TickSource(SteadyMilliseconds);
}

int64_t TLgProtocolBase::Tick() const {
  return tick_source_();
}

void TLgProtocolBase::SetHostName(std::string host_name) {
  std::lock_guard lock(event_lock_);
  host_name_ = std::move(host_name);
}

void TLgProtocolBase::SetAppName(std::string app_name) {
  std::lock_guard lock(event_lock_);
  app_name_ = std::move(app_name);
}

std::string TLgProtocolBase::HostName() const {
  std::lock_guard lock(event_lock_);
  return host_name_;
}

std::string TLgProtocolBase::AppName() const {
  std::lock_guard lock(event_lock_);
  return app_name_;
}

void TLgProtocolBase::SetOnError(ErrorHandler handler) {
  std::lock_guard lock(event_lock_);
  on_error_ = std::move(handler);
}

int TLgProtocolBase::BacklogCount() const {
  return queue_.Count();
}

void TLgProtocolBase::Initialize(std::string_view options) {
  std::lock_guard lock(main_lock_);
  if (initialized_) return;
  try {
    TLgOptionsParser::Parse(GetName(), options,
                            [this](const std::string&, const std::string& key,
                                   const std::string& value) { StoreOption(key, value); });
  } catch (...) {
    options_.Clear();
    throw;
  }
  LoadOptions();
  initialized_ = true;
}

void TLgProtocolBase::StoreOption(const std::string& key, const std::string& value) {
  if (key == "backlog") {
    options_.Put(key, value);
    if (options_.GetSizeValue(key, 0) > 0) {
      options_.Put("backlog.enabled", "true");
      options_.Put("backlog.queue", value);
    } else {
      options_.Put("backlog.enabled", "false");
      options_.Put("backlog.queue", "0");
    }
  } else if (key == "flushon") {
    options_.Put(key, value);
    options_.Put("backlog.flushon", value);
  } else if (key == "keepopen") {
    options_.Put(key, value);
    options_.Put("backlog.keepopen", value);
  } else if (IsValidOption(key)) {
    options_.Put(key, value);
  } else {
    throw ELogCenterError(fmt::format("Option \"{}\" not available for protocol \"{}\"", key,
                                      LowerCaseText(GetName())));
  }
}

bool TLgProtocolBase::IsValidOption(std::string_view name) const {
  for (std::string_view option : kBaseOptions) {
    if (name == option) return true;
  }
  return false;
}

void TLgProtocolBase::LoadOptions() {
  level_.store(options_.GetLevelValue("level", TLgLevel::Debug), std::memory_order_relaxed);
  caption_ = options_.GetStringValue("caption", GetName());
  reconnect_ = options_.GetBooleanValue("reconnect", false);
  reconnect_interval_ = static_cast<uint32_t>(options_.GetTimespanValue("reconnect.interval", 0));
  backlog_enabled_ = options_.GetBooleanValue("backlog.enabled", false);
  backlog_queue_ = options_.GetSizeValue("backlog.queue", 2048);
  flush_on_ = options_.GetLevelValue("backlog.flushon", TLgLevel::Error);
  backlog_keep_open_ = options_.GetBooleanValue("backlog.keepopen", false);
  queue_.SetBacklog(backlog_queue_);
  keep_open_ = !backlog_enabled_ || backlog_keep_open_;
  async_enabled_.store(options_.GetBooleanValue("async.enabled", false), std::memory_order_release);
  async_throttle_ = options_.GetBooleanValue("async.throttle", true);
  async_queue_ = options_.GetSizeValue("async.queue", 2048);
  async_clear_on_disconnect_ = options_.GetBooleanValue("async.clearondisconnect", false);
}

void TLgProtocolBase::BuildOptions(TLgConnectionsBuilder& builder) const {
  builder.AddOption("async.enabled", AsyncEnabled());
  builder.AddOption("async.clearondisconnect", async_clear_on_disconnect_);
  builder.AddOption("async.queue", async_queue_ / 1024);
  builder.AddOption("async.throttle", async_throttle_);
  builder.AddOption("backlog.enabled", backlog_enabled_);
  builder.AddOption("backlog.flushon", flush_on_);
  builder.AddOption("backlog.keepopen", backlog_keep_open_);
  builder.AddOption("backlog.queue", backlog_queue_ / 1024);
  builder.AddOption("level", Level());
  builder.AddOption("reconnect", reconnect_);
  builder.AddOption("reconnect.interval", reconnect_interval_);
  builder.AddOption("caption", std::string_view(caption_));
}

std::string TLgProtocolBase::BuildOptionsString() const {
  TLgConnectionsBuilder builder;
  BuildOptions(builder);
  return builder.Text();
}

void TLgProtocolBase::Connect() {
  std::lock_guard lock(main_lock_);
  // Another thread is waiting for the worker to end (an error handler on that worker connects
  // again): the disconnect wins.
  if (stopping_) return;
  abandoned_.store(false, std::memory_order_release);
  wait_limit_.Clear();
  opened_ = true;
  if (AsyncEnabled()) {
    if (scheduler_) return;
    // A scheduler retired by its own thread may still be working off its queue: the new worker
    // waits for it to end and frees it before running anything, so the two never overlap.
    scheduler_ =
        std::make_unique<TLgScheduler>(static_cast<TLgSchedulerTarget&>(*this), async_queue_,
                                       async_throttle_, std::move(retired_scheduler_));
    scheduler_->Start();
    auto command = std::make_shared<TLgSchedulerCommand>();
    command->action = TLgSchedulerAction::Connect;
    scheduler_->Schedule(std::move(command));
    return;
  }
  ImplConnect();
}

void TLgProtocolBase::Disconnect() {
  DisconnectBy(std::chrono::steady_clock::now() + kStopGrace);
}

bool TLgProtocolBase::OnSchedulerThread() const {
  const std::thread::id self = std::this_thread::get_id();
  return (scheduler_ && scheduler_->RunsOn(self)) ||
         (retired_scheduler_ && retired_scheduler_->RunsOn(self));
}

void TLgProtocolBase::DisconnectBy(std::chrono::steady_clock::time_point deadline) {
  // Before the lock: a synchronous writer blocked on its peer holds it, and must give up by the
  // deadline for the lock to come free.
  LimitWaits(deadline);
  std::unique_ptr<TLgScheduler> stopping;
  {
    std::lock_guard lock(main_lock_);
    opened_ = false;
    if (!AsyncEnabled()) {
      ImplDisconnect();
      return;
    }
    auto command = std::make_shared<TLgSchedulerCommand>();
    command->action = TLgSchedulerAction::Disconnect;
    if (OnSchedulerThread()) {
      // Called by the worker itself (an error handler): it cannot wait for itself. It is told to
      // stop after the disconnect and runs on until it is back in its loop; the scheduler is kept
      // until another thread frees it (Disconnect, or the next Connect's worker).
      if (!scheduler_) return;
      scheduler_->Schedule(std::move(command));
      scheduler_->RequestStop();
      scheduler_->Retire(std::move(retired_scheduler_));
      retired_scheduler_ = std::move(scheduler_);
      return;
    }
    if (scheduler_) {
      if (async_clear_on_disconnect_) scheduler_->Clear();
      scheduler_->Schedule(std::move(command));
      scheduler_->Retire(std::move(retired_scheduler_));
      stopping = std::move(scheduler_);
    } else {
      stopping = std::move(retired_scheduler_);
    }
    if (!stopping) return;
    stopping_ = true;
  }
  // Waiting for the worker without the lock: its error handler may call back into the protocol.
  stopping->StopBy(deadline, [this] { Abandon(); });
  stopping.reset();
  std::lock_guard lock(main_lock_);
  stopping_ = false;
  if (Abandoned()) {
    // The worker was woken mid-way and its disconnect command dropped: what it left open is
    // closed here, with the worker gone.
    ImplDisconnect();
  }
}

void TLgProtocolBase::LimitWaits(std::chrono::steady_clock::time_point deadline) noexcept {
  wait_limit_.Limit(deadline);
}

void TLgProtocolBase::RequireNotAbandoned() const {
  if (Abandoned()) throw ELogCenterError(kLgStoppedMessage);
}

void TLgProtocolBase::Abandon() noexcept {
  abandoned_.store(true, std::memory_order_release);
  wait_limit_.Limit(std::chrono::steady_clock::now());
}

int64_t TLgProtocolBase::CompileShared(TLgFormatter& formatter, const TLgPacket& packet) {
  auto& shared = const_cast<TLgPacket&>(packet);  // the lock is not part of the packet's value
  shared.Lock();
  try {
    const int64_t size = formatter.Compile(packet);
    shared.Unlock();
    return size;
  } catch (...) {
    shared.Unlock();
    throw;
  }
}

void TLgProtocolBase::WritePacket(const TLgPacketPtr& packet) {
  if (!packet || packet->Level() < Level()) return;
  std::lock_guard lock(main_lock_);
  if (!opened_) return;
  if (AsyncEnabled()) {
    if (!scheduler_) return;
    auto command = std::make_shared<TLgSchedulerCommand>();
    command->action = TLgSchedulerAction::WritePacket;
    command->packet = packet;
    scheduler_->Schedule(std::move(command));  // a refused packet is simply dropped
    return;
  }
  ImplWritePacket(packet);
}

void TLgProtocolBase::Dispatch(TLgDispatchArgument argument) {
  std::lock_guard lock(main_lock_);
  if (AsyncEnabled()) {
    if (!scheduler_) return;
    auto command = std::make_shared<TLgSchedulerCommand>();
    command->action = TLgSchedulerAction::Dispatch;
    command->argument = std::move(argument);
    scheduler_->Schedule(std::move(command));
    return;
  }
  ImplDispatch(argument);
}

void TLgProtocolBase::RunCommand(const TLgSchedulerCommand& command) {
  try {
    switch (command.action) {
      case TLgSchedulerAction::Connect:
        ImplConnect();
        break;
      case TLgSchedulerAction::WritePacket:
        ImplWritePacket(command.packet);
        break;
      case TLgSchedulerAction::Disconnect:
        ImplDisconnect();
        break;
      case TLgSchedulerAction::Dispatch:
        ImplDispatch(command.argument);
        break;
    }
  } catch (...) {
    // Asynchronous failures were reported through the error handler already.
  }
}

void TLgProtocolBase::ImplConnect() {
  if (Connected()) return;
  reopening_ = false;
  if (!keep_open_ || Abandoned()) return;
  try {
    InternalConnect();
    reopening_ = true;
    connected_.store(true, std::memory_order_release);
    failed_.store(false, std::memory_order_release);
  } catch (const std::exception& e) {
    ResetQuietly();
    HandleException(e.what());
  }
}

void TLgProtocolBase::ImplWritePacket(const TLgPacketPtr& packet) {
  try {
    if (!Connected() && !reconnect_ && keep_open_) return;
    if (backlog_enabled_) {
      if (packet->Level() >= flush_on_ && packet->Level() != TLgLevel::Unknown) {
        while (TLgPacketPtr queued = queue_.Pop()) ForwardPacket(queued, false);
      } else {
        queue_.Push(packet);
        return;
      }
    }
    ForwardPacket(packet, !keep_open_);
  } catch (const std::exception& e) {
    ResetQuietly();
    HandleException(e.what());
  }
}

void TLgProtocolBase::ForwardPacket(const TLgPacketPtr& packet, bool disconnect_after) {
  if (!Connected()) {
    if (Abandoned()) return;
    if (!keep_open_) {
      InternalConnect();
      reopening_ = true;
      connected_.store(true, std::memory_order_release);
      failed_.store(false, std::memory_order_release);
    } else {
      TryReconnect();
    }
  }
  if (!Connected()) return;
  InternalWritePacket(packet);
  if (disconnect_after) {
    connected_.store(false, std::memory_order_release);
    InternalFlushDisconnect();
  }
}

void TLgProtocolBase::TryReconnect() {
  // The interval counts from the last failure only, so steady logging does not postpone the
  // next attempt: the first write after the interval tries again.
  if (reconnect_interval_ > 0 && reconnect_tick_ &&
      Tick() - *reconnect_tick_ < static_cast<int64_t>(reconnect_interval_)) {
    return;
  }
  bool connected = false;
  try {
    connected = InternalReconnect();
  } catch (...) {
    connected = false;  // a failed attempt only means: try again later
  }
  if (connected) reopening_ = true;
  connected_.store(connected, std::memory_order_release);
  failed_.store(!connected, std::memory_order_release);
  if (!connected) ResetQuietly();
}

bool TLgProtocolBase::InternalReconnect() {
  InternalConnect();
  return true;
}

void TLgProtocolBase::Reset() {
  queue_.Clear();
  connected_.store(false, std::memory_order_release);
  reconnect_tick_ = Tick();
  InternalDisconnect();
}

void TLgProtocolBase::ResetQuietly() noexcept {
  try {
    Reset();
  } catch (...) {
    // Called while another failure is being handled: that first failure is the one reported.
  }
}

void TLgProtocolBase::ImplDisconnect() {
  if (Connected()) {
    try {
      Reset();
    } catch (const std::exception& e) {
      HandleException(e.what());
    }
    return;
  }
  queue_.Clear();
  if (!keep_open_) {
    // A protocol that opens per flush may still hold what it keeps between flushes.
    try {
      InternalDisconnect();
    } catch (const std::exception& e) {
      HandleException(e.what());
    }
  }
}

void TLgProtocolBase::ImplDispatch(const TLgDispatchArgument& argument) {
  if (!Connected() && keep_open_) return;
  try {
    InternalDispatch(argument);
  } catch (const std::exception& e) {
    HandleException(e.what());
  }
}

void TLgProtocolBase::HandleException(const std::string& message) {
  failed_.store(true, std::memory_order_release);
  ELgProtocolError error(message, GetName(), BuildOptionsString());
  if (!AsyncEnabled()) throw error;
  ErrorHandler handler;
  {
    std::lock_guard lock(event_lock_);
    handler = on_error_;
  }
  if (handler) {
    try {
      handler(*this, error);
    } catch (...) {
      // The handler is the end of the line for a failure on the scheduler thread.
    }
  }
}

void TLgProtocolBase::WriteLogHeader() {
  const auto header = std::make_shared<TLgLogHeader>(HostName(), AppName());
  InternalWritePacket(header);
}

}  // namespace parlevo::logging
