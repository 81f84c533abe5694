// The name a thread shows in ps, top and debuggers, set by the thread itself.
//
// Thread safety: SetCurrentThreadName names only the calling thread; both functions may be called
// from any thread.
#pragma once

#include <string>
#include <string_view>

namespace parlevo {

// `name` cut to what the platform keeps (Linux: 15 characters).
std::string PlatformThreadName(std::string_view name);

// Names the calling thread; a longer name is cut as PlatformThreadName cuts it.
void SetCurrentThreadName(std::string_view name);

}  // namespace parlevo
