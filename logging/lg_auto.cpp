#include "logging/lg_auto.h"

#include "logging/lg_log_center.h"

namespace parlevo::logging {

TLogCenter& GlobalLogCenter() {
  static TLogCenter center;
  return center;
}

TLgSession& MainSession() {
  static TLgSession session(&GlobalLogCenter(), "Main");
  return session;
}

}  // namespace parlevo::logging
