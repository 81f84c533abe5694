#include "notifications/membership_claims.h"

#include <utility>

namespace parlevo {

TMembershipClaims::TClaim::~TClaim() {
  Release();
}

TMembershipClaims::TClaim::TClaim(TClaim&& other) noexcept
    : owner_(std::exchange(other.owner_, nullptr)), key_(std::move(other.key_)) {}

TMembershipClaims::TClaim& TMembershipClaims::TClaim::operator=(TClaim&& other) noexcept {
  if (this != &other) {
    Release();
    owner_ = std::exchange(other.owner_, nullptr);
    key_ = std::move(other.key_);
  }
  return *this;
}

void TMembershipClaims::TClaim::Release() {
  if (owner_ == nullptr) return;
  std::lock_guard lock(owner_->lock_);
  owner_->held_.erase(key_);
  owner_ = nullptr;
}

TMembershipClaims::TClaim TMembershipClaims::Claim(std::string_view member,
                                                   std::string_view conference, TMessageKind kind) {
  TClaim::TKey key{std::string(member), std::string(conference), kind};
  std::lock_guard lock(lock_);
  if (!held_.insert(key).second) return {};
  return TClaim(this, std::move(key));
}

TMembershipClaims& MembershipClaims() {
  static TMembershipClaims claims;
  return claims;
}

}  // namespace parlevo
