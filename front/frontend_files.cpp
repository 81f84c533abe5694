#include "front/frontend_files.h"

#include <array>
#include <cstdint>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "front/configuration.h"
#include "logging/lg_auto.h"
#include "service/helpers.h"
#include "webservice/helpers_conf_ex.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kTrace = "[Main][HTTPServerCommand] ";
constexpr std::array<std::string_view, 4> kDefaultDocuments = {"/index.html", "/index.htm",
                                                               "/default.html", "/default.htm"};

bool IsRegularFile(const fs::path& p) {
  std::error_code ec;
  return fs::is_regular_file(p, ec);
}

bool IsDirectory(const fs::path& p) {
  std::error_code ec;
  return fs::is_directory(p, ec);
}

// root + request path with "." and ".." resolved as text; symbolic links are resolved later.
fs::path RequestedDocument(const fs::path& root, std::string_view request_path) {
  std::string joined = root.string();
  while (!joined.empty() && joined.back() == '/') joined.pop_back();
  if (request_path.empty() || request_path.front() != '/') joined.push_back('/');
  joined.append(request_path);
  return fs::path(joined).lexically_normal();
}

// A folder gets the first default document that exists in it.
fs::path WithDefaultDocument(fs::path document) {
  if (IsRegularFile(document) || !IsDirectory(document)) return document;
  std::string base = document.string();
  while (!base.empty() && base.back() == '/') base.pop_back();
  for (std::string_view name : kDefaultDocuments) {
    fs::path candidate(base + std::string(name));
    if (IsRegularFile(candidate)) return candidate;
  }
  return document;
}

// The real file behind document when it is a regular file lying inside root after every link
// is followed. Names are compared exactly: Linux file names are case-sensitive.
std::optional<fs::path> ContainedFile(const fs::path& root, const fs::path& document) {
  std::error_code ec;
  const fs::path real_root = fs::canonical(root, ec);
  if (ec) return std::nullopt;
  const fs::path real_file = fs::canonical(document, ec);
  if (ec || !IsRegularFile(real_file)) return std::nullopt;
  const std::string prefix = real_root.string() + (real_root.string().ends_with('/') ? "" : "/");
  if (!real_file.string().starts_with(prefix)) return std::nullopt;
  return real_file;
}

std::string ContentDisposition(const fs::path& file) {
  std::string name;
  for (char c : file.filename().string()) {
    if (c == '"') name.push_back('"');
    name.push_back(c);
  }
  return "filename=\"" + name + "\"";
}

THostValueAccess ConfigurationHostValues() {
  return {
      [](const std::string& name) { return ReadConfigString(name); },
      [](const std::string& name, const std::string& value) { WriteConfigString(name, value); }};
}

}  // namespace

void DeleteWSDLAdminFile() {
  const fs::path file = fs::path(ExeFolder()) / std::string(kWSDLAdminFileName);
  std::error_code ec;
  if (!fs::exists(file, ec)) return;
  logging::MainSession().LogMessage("Delete " + std::string(kWSDLAdminFileName));
  // Another connection thread may have removed it in between; that is what was wanted.
  if (!fs::remove(file, ec) && ec && ec != std::errc::no_such_file_or_directory) {
    logging::MainSession().LogError("Cannot delete " + file.string() + ": " + ec.message());
  }
}

std::string FrontendMimeType(const fs::path& file) {
  static const std::pair<std::string_view, std::string_view> kTypes[] = {
      {".html", "text/html"},
      {".htm", "text/html"},
      {".css", "text/css"},
      {".js", "text/javascript"},
      {".mjs", "text/javascript"},
      {".json", "application/json"},
      {".xml", "application/xml"},
      {".xsl", "application/xml"},
      {".txt", "text/plain"},
      {".csv", "text/csv"},
      {".png", "image/png"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".bmp", "image/bmp"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
      {".webp", "image/webp"},
      {".pdf", "application/pdf"},
      {".zip", "application/zip"},
      {".woff", "font/woff"},
      {".woff2", "font/woff2"},
      {".ttf", "font/ttf"},
      {".otf", "font/otf"},
      {".eot", "application/vnd.ms-fontobject"},
      {".swf", "application/x-shockwave-flash"},
      {".wasm", "application/wasm"},
      {".mp3", "audio/mpeg"},
      {".wav", "audio/wav"},
      {".mp4", "video/mp4"},
  };
  const std::string ext = ApplyCaseMode(file.extension().string(), kCaseLower);
  for (const auto& [known, type] : kTypes) {
    if (ext == known) return std::string(type);
  }
  return "application/octet-stream";
}

void HTTPServerCommandGet(const THttpRequest& request, THttpResponse& response) {
  DeleteWSDLAdminFile();
  GetRequestHost(request.get_header_value("Host"), ConfigurationHostValues());

  const fs::path root = fs::path(ExeFolder()) / "Frontend/";
  // A NUL would cut the name short at the system call and open some other file.
  if (request.path.find('\0') != std::string::npos) {
    WriteDebugLog(std::string(kTrace) + "Refused a document name holding a NUL byte");
    return;
  }
  fs::path document = RequestedDocument(root, request.path);
  WriteDebugLog(std::string(kTrace) + "Requested Document: " + document.string());
  document = WithDefaultDocument(document);
  WriteDebugLog(std::string(kTrace) + "Send " + document.string());

  const std::optional<fs::path> file = ContainedFile(root, document);
  if (!file) return;  // the server's default answer: 200 without content

  WriteDebugLog(std::string(kTrace) + "Command: " + request.method);
  if (ApplyCaseMode(request.method, kCaseUpper) == "HEAD") {
    std::ifstream in(*file, std::ios::binary);
    if (!in) throw std::runtime_error("Cannot open " + file->string());
    response.status = 200;
    response.set_header("Content-Type", FrontendMimeType(document));
    response.set_header("Content-Length", std::to_string(fs::file_size(*file)));
    return;
  }

  // The server reads the file in pieces as the client takes them: a large document costs no
  // memory per request, however many clients fetch it or however slowly they read.
  const uintmax_t sent = fs::file_size(*file);
  response.set_header("Content-Disposition", ContentDisposition(document));
  response.set_file(*file, FrontendMimeType(document));
  WriteDebugLog(std::string(kTrace) + "ByteSend: " + std::to_string(sent));
}

}  // namespace parlevo
