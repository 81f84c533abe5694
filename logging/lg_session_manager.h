// Keeps the sessions of a log center, the defaults given to sessions added later, and the
// per-session settings of the logging configuration ("session.<name>.active|level|color").
//
// Thread safety: all operations may be called from any thread; the tables change only under
// the manager's lock.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "logging/lg_config_reader.h"
#include "logging/lg_containers.h"
#include "logging/lg_packets.h"
#include "logging/lg_session.h"

namespace parlevo::logging {

struct TLgSessionDefaults {
  bool Active = true;
  TLgLevel Level = TLgLevel::Debug;
  uint32_t Color = kLgDefaultColor;
};

// The configured settings of one session; only the values whose Has flag is set are applied.
struct TLgSessionInfo {
  std::string Name;
  bool Active = true;
  bool HasActive = false;
  TLgLevel Level = TLgLevel::Debug;
  bool HasLevel = false;
  uint32_t Color = kLgDefaultColor;
  bool HasColor = false;
};

class TLgSessionManager {
 public:
  TLgSessionManager() = default;
  TLgSessionManager(const TLgSessionManager&) = delete;
  TLgSessionManager& operator=(const TLgSessionManager&) = delete;

  // Takes the session over: gives it the defaults, keeps it, and with `store` files it under
  // its name (replacing an earlier session of that name in the name table) and applies the
  // configured settings of that name. Returns the session, or null for a missing one.
  TLgSession* Add(std::unique_ptr<TLgSession> session, bool store);

  // Replaces the per-session settings and the defaults by those of the configuration and
  // applies the settings to the filed sessions at once.
  void LoadConfiguration(const TLgConfigReader& configuration);

  // The filed session of that name (any case), or null.
  TLgSession* Find(std::string_view name) const;
  int Count() const;
  TLgSessionDefaults Defaults() const;

 private:
  static void Apply(const TLgSessionInfo& info, TLgSession& session);

  mutable std::mutex lock_;
  std::vector<std::unique_ptr<TLgSession>> sessions_;
  TLgObjectHash<TLgSession> by_name_{false};
  TLgObjectHash<TLgSessionInfo> infos_{true};
  TLgSessionDefaults defaults_;
};

}  // namespace parlevo::logging
