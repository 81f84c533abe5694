#include "logging/lg_file_protocol.h"
#include "logging/lg_memory_protocol.h"
#include "logging/lg_pipe_protocol.h"
#include "logging/lg_protocol_factory.h"
#include "logging/lg_tcp_protocol.h"
#include "logging/lg_text_protocol.h"

namespace parlevo::logging {

void RegisterLibraryProtocols() {
  TLgProtocolFactory::RegisterProtocol<TLgFileProtocol>("file");
  TLgProtocolFactory::RegisterProtocol<TLgMemoryProtocol>("mem");
  TLgProtocolFactory::RegisterProtocol<TLgPipeProtocol>("pipe");
  TLgProtocolFactory::RegisterProtocol<TLgTcpProtocol>("tcp");
  TLgProtocolFactory::RegisterProtocol<TLgTextProtocol>("text");
}

}  // namespace parlevo::logging
