// Small routines the service's own units share: the plain-text debug log beside the structured
// log, the program's version, a field extractor for delimited texts, and the folder that stands
// for the executable's folder.
//
// Thread safety: WriteDebugLog may be called from any thread at once (each call appends one whole
// line with a single write). SetExeFolder is called once at start-up before other threads run.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parlevo {

// The folder that stands for the executable's folder, with a trailing "/". Defaults to the folder
// of the running executable; start-up replaces it when --home is given.
std::string ExeFolder();
void SetExeFolder(std::string folder);

// Appends "<ddd d. mmm. yyyy, hh:mm:ss>: <message>" and CR LF to debug/log.txt in ExeFolder(),
// creating the folder and file on first use. Never raises: a full disk or a missing permission
// must not break the request that only wanted to leave a trace. A line longer than
// kDebugLogLineLimit bytes is cut to that length (at a character's start) and ends with
// kDebugLogCutMark and the message's full length in bytes: lines carry request values and stored
// rows, and no request may multiply what it sends into the file. The file is opened for each
// line, so it can be moved away at any time; the next line makes a new one.
inline constexpr size_t kDebugLogLineLimit = 4096;
inline constexpr std::string_view kDebugLogCutMark = " [cut, bytes in all: ";
void WriteDebugLog(std::string_view message);

// Four dot-separated numbers: major.minor.release.build.
std::string GetAppVersion();

// The index-th field (from 1) of source, fields separated by the single character delimiter. An
// index beyond the last field yields the last field.
std::string GetToken(std::string_view source, std::string_view delimiter, int index);

}  // namespace parlevo
