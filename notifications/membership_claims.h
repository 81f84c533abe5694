// Which memberships have a message on its way. A sender claims the membership and the kind of
// message before it reads whether the message is still due, and gives the claim back once the
// message went and was marked, or failed. So two requests, or a request and the SMS reminder,
// never send the same invitation or reminder twice: the second finds the claim taken.
//
// The claims live in this process only. The service is the only sender (the PBX side shares the
// database file but sends nothing), and a claim must not outlive a send that a crash ended, as a
// mark in the database would.
//
// Thread safety: every method may be called from any thread; a TClaim belongs to the thread
// that took it.
#pragma once

#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <tuple>

namespace parlevo {

enum class TMessageKind { Invitation, Reminder };

class TMembershipClaims {
 public:
  // Holds one claim until it is destroyed; empty when the claim was taken by another sender.
  class TClaim {
   public:
    TClaim() = default;
    ~TClaim();
    TClaim(TClaim&& other) noexcept;
    TClaim& operator=(TClaim&& other) noexcept;
    TClaim(const TClaim&) = delete;
    TClaim& operator=(const TClaim&) = delete;

    explicit operator bool() const { return owner_ != nullptr; }

   private:
    friend class TMembershipClaims;
    using TKey = std::tuple<std::string, std::string, TMessageKind>;
    TClaim(TMembershipClaims* owner, TKey key) : owner_(owner), key_(std::move(key)) {}
    void Release();

    TMembershipClaims* owner_ = nullptr;
    TKey key_;
  };

  TMembershipClaims() = default;
  TMembershipClaims(const TMembershipClaims&) = delete;
  TMembershipClaims& operator=(const TMembershipClaims&) = delete;

  // The claim of the message `kind` of member `member` in conference `conference` (both decimal
  // numbers as SqlInt writes them), or an empty claim while another sender holds it.
  TClaim Claim(std::string_view member, std::string_view conference, TMessageKind kind);

 private:
  std::mutex lock_;
  std::set<TClaim::TKey> held_;
};

// The claims of the process, shared by the request threads and the SMS reminder.
TMembershipClaims& MembershipClaims();

}  // namespace parlevo
