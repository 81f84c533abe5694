// How an action of DoKonferenzAction is handed its request: the request text parsed with its tag
// names lowered (LoadRequestDocument), an answer document rooted "RESPONSE", and the answer text
// preset to "error". The dispatcher, the series engine's internal requests, the tests and the
// benchmarks all hand requests over this one way.
//
// Thread safety: every function may be called from any thread; the documents belong to the
// caller's thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace parlevo {

using TActionHandler = std::function<void(pugi::xml_document& request, pugi::xml_document& response,
                                          std::string& result)>;

// The request document of request_text and a fresh answer document rooted "RESPONSE"; with
// declared, the answer starts with the declaration version 1.0 as the front end's answers do.
// Throws std::runtime_error as LoadRequestDocument does.
void PrepareActionDocuments(std::string_view request_text, bool declared,
                            pugi::xml_document& request, pugi::xml_document& response);

// Runs handler on request_text with undeclared documents; the answer text it set, "error" when
// it set none. `response`, when given, receives the answer document.
std::string RunActionRequest(const TActionHandler& handler, std::string_view request_text,
                             pugi::xml_document* response = nullptr);

}  // namespace parlevo
