// Reading the date/time texts people and peers write, into day numbers (platform/datetime.h).
//
// Thread safety: pure function.
#pragma once

#include <optional>
#include <string_view>

#include "platform/datetime.h"

namespace parlevo {

// A date/time text as people and peers write it. Accepted: "yyyy-mm-dd" with an optional time
// after a blank or "T" ("hh:nn[:ss[.fff]]", then an optional "Z" or "+hh:mm"/"-hh:mm"),
// "dd.mm.yyyy" with an optional time "hh:nn[:ss[.zzz]]", a time alone "hh:nn[:ss[.zzz]]", and a
// plain day number. Leading and trailing blanks are ignored.
struct ParsedDateTime {
  TDateTime value = 0;        // the date-time as written (no zone conversion)
  std::optional<int> offset;  // minutes east of UTC when the text named a zone ("Z" = 0)
  bool has_date = false;
  bool has_time = false;
};
std::optional<ParsedDateTime> ParseDateTimeText(std::string_view text);

}  // namespace parlevo
