// The static side of the HTTP front: every request that is not for the SOAP module is answered
// with a file of the folder "Frontend" in the install folder (default documents for folders),
// after the WSDL administration file is removed and the request's host name is recorded.
//
// Thread safety: every function may be called from many connection threads at once.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "front/http_server.h"

namespace parlevo {

inline constexpr std::string_view kWSDLAdminFileName = "ZyntParlevo_WSDLADMIN.INI";

// Removes the WSDL administration file from the install folder when it is there; a file that
// another thread removed first is no failure.
void DeleteWSDLAdminFile();

// The MIME type of a file name's extension (letter case ignored); "application/octet-stream"
// for one the table lacks.
std::string FrontendMimeType(const std::filesystem::path& file);

// The command handler of the HTTP server (OnCommandGet): serves the front-end file of the
// request, or leaves the response untouched (an empty 200) when there is none. Registry errors
// while recording the host pass to the server.
void HTTPServerCommandGet(const THttpRequest& request, THttpResponse& response);

}  // namespace parlevo
