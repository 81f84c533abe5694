// The request document every action reads and the result envelope most actions answer with,
// plus the small routines the actions share: PIN drawing, field splitting and the host name by
// which front-end clients reach the server.
//
// Thread safety: every function may be called from any thread; a document passed in must not
// be used by another thread at the same time. GetRequestHost is as safe as the callables given.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

namespace parlevo {

// Parses a request text into doc after lowering its tag names, so that field names match
// without regard to letter case. The text is UTF-8, whatever its declaration says. Throws
// std::runtime_error with the parser's message when the text is not well-formed XML.
void LoadRequestDocument(pugi::xml_document& doc, std::string_view request_text);

// "<?xml ...?><response><result><code>..</code><description>..</description></result>" + addTag
// + "</response>". The description is escaped so that the answer stays well-formed; addTag is
// markup and is inserted as it stands.
std::string CreateResultXML(int code, std::string_view description, std::string_view add_tag);

// Sets the element "result" under doc's root element (found or created) to text, or to "Fehler"
// when text is empty.
void GetQueryResultText(pugi::xml_document& doc, std::string_view text);

// Five decimal digits, each drawn uniformly from the process-wide random source; leading zeros
// are kept.
std::string GenerateRandomPin();

// "Teilnehmer exisitert in der Konferenz bereits" for code -1, else the empty text.
std::string ParticipantExistsText(int code);

// The fields of s between separators. With quote_aware, double quotes group a field (separators
// inside stay, the quotes are dropped). An empty field between two separators is kept; a
// trailing empty field is not.
std::vector<std::string> SplitString(std::string_view s, char separator, bool trim_fields,
                                     bool quote_aware);

// Removes a ":digits" port: "pbx01:81" gives "pbx01", "pbx01:81x" gives "pbx01x"; a text without
// a colon followed by a digit gives the empty text.
std::string StripPort(std::string_view host);

// The host name of a Host header: without its port, the whole header when it carries none, a
// bracketed IPv6 address with its brackets. Empty when the header holds no usable host name.
std::string RequestHostName(std::string_view host_header);

// Reads and writes the configuration values "MailHost" and "SMSHost" (errors of these callables
// pass to the caller).
struct THostValueAccess {
  std::function<std::string(const std::string& name)> read;
  std::function<void(const std::string& name, const std::string& value)> write;
};

// Fills "MailHost" and "SMSHost" with the host name of the request when they are empty, so that
// the first front-end request after such a value was cleared stores the name by which clients
// reach the server. Never writes an empty value.
void GetRequestHost(std::string_view host_header, const THostValueAccess& values);

}  // namespace parlevo
