#include "logging/lg_protocol_factory.h"

namespace parlevo::logging {

// The concrete destinations ("file", "mem", "pipe", "tcp", "text") register themselves here as
// they are added to the library; until then no name is known and the start-up connections
// leave the global log center without a protocol.
void RegisterLibraryProtocols() {}

}  // namespace parlevo::logging
