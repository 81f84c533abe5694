// The central logging object: application and host names, level filter, enabled switch, the
// output protocols and the sessions.
#pragma once

namespace parlevo::logging {

class TLogCenter {
 public:
  TLogCenter() = default;
  bool Enabled() const { return false; }
};

}  // namespace parlevo::logging
