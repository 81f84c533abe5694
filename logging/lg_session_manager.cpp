#include "logging/lg_session_manager.h"

#include "logging/lg_text.h"

namespace parlevo::logging {

TLgSession* TLgSessionManager::Add(std::unique_ptr<TLgSession> session, bool store) {
  if (!session) return nullptr;
  std::lock_guard lock(lock_);
  session->SetActive(defaults_.Active);
  session->SetColor(defaults_.Color);
  session->SetLevel(defaults_.Level);
  TLgSession* added = session.get();
  sessions_.push_back(std::move(session));
  if (store) {
    const std::string name = added->Name();
    by_name_.Put(name, added);
    added->SetStored(true);
    if (const TLgSessionInfo* info = infos_.Get(name)) Apply(*info, *added);
  }
  return added;
}

void TLgSessionManager::LoadConfiguration(const TLgConfigReader& configuration) {
  static constexpr std::string_view kPrefix = "session.";
  std::lock_guard lock(lock_);
  infos_.Clear();
  for (size_t i = 0; i < configuration.Count(); ++i) {
    const std::string key = configuration.Key(i);
    if (key.size() < kPrefix.size() || LowerCaseText(key.substr(0, kPrefix.size())) != kPrefix) {
      continue;
    }
    const std::string rest = key.substr(kPrefix.size());
    const size_t dot = rest.find('.');
    if (dot == std::string::npos) continue;
    const std::string name = rest.substr(0, dot);
    if (infos_.Contains(name)) continue;

    auto info = std::make_unique<TLgSessionInfo>();
    const std::string base = std::string(kPrefix) + name;
    info->Name = name;
    info->HasActive = configuration.Contains(base + ".active");
    info->Active = configuration.ReadBoolean(base + ".active", true);
    info->HasLevel = configuration.Contains(base + ".level");
    info->Level = configuration.ReadLevel(base + ".level", TLgLevel::Debug);
    info->HasColor = configuration.Contains(base + ".color");
    info->Color = configuration.ReadColor(base + ".color", kLgDefaultColor);
    if (TLgSession* session = by_name_.Get(name)) Apply(*info, *session);
    infos_.Adopt(name, std::move(info));
  }
  defaults_.Active = configuration.ReadBoolean("sessiondefaults.active", defaults_.Active);
  defaults_.Level = configuration.ReadLevel("sessiondefaults.level", defaults_.Level);
  defaults_.Color = configuration.ReadColor("sessiondefaults.color", defaults_.Color);
}

TLgSession* TLgSessionManager::Find(std::string_view name) const {
  std::lock_guard lock(lock_);
  return by_name_.Get(name);
}

int TLgSessionManager::Count() const {
  std::lock_guard lock(lock_);
  return static_cast<int>(sessions_.size());
}

TLgSessionDefaults TLgSessionManager::Defaults() const {
  std::lock_guard lock(lock_);
  return defaults_;
}

void TLgSessionManager::Apply(const TLgSessionInfo& info, TLgSession& session) {
  if (info.HasActive) session.SetActive(info.Active);
  if (info.HasLevel) session.SetLevel(info.Level);
  if (info.HasColor) session.SetColor(info.Color);
}

}  // namespace parlevo::logging
