#include "logging/lg_file_protocol.h"
#include "logging/lg_memory_protocol.h"
#include "logging/lg_pipe_protocol.h"
#include "logging/lg_protocol_factory.h"
#include "logging/lg_tcp_protocol.h"
#include "logging/lg_text_protocol.h"

namespace parlevo::logging {

void RegisterLibraryProtocols() {
  TLgProtocolFactory::RegisterProtocol<TLgOutput<TLgFileProtocol>>("file");
  TLgProtocolFactory::RegisterProtocol<TLgOutput<TLgMemoryProtocol>>("mem");
  TLgProtocolFactory::RegisterProtocol<TLgOutput<TLgPipeProtocol>>("pipe");
  TLgProtocolFactory::RegisterProtocol<TLgOutput<TLgTcpProtocol>>("tcp");
  TLgProtocolFactory::RegisterProtocol<TLgOutput<TLgTextProtocol>>("text");
}

}  // namespace parlevo::logging
