#include "webservice/language_files.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "logging/lg_auto.h"
#include "platform/text_codec.h"
#include "webservice/helpers_xml.h"

namespace parlevo {
namespace {

namespace fs = std::filesystem;
using logging::MainSession;
using logging::TLgLevel;

std::string Lower(std::string_view s) {
  return ApplyCaseMode(s, kCaseLower);
}

// The entry of folder whose name equals name without regard to ASCII case (an exact match wins).
std::optional<fs::path> FindEntry(const fs::path& folder, std::string_view name) {
  std::error_code ec;
  fs::path exact = folder / std::string(name);
  if (fs::exists(exact, ec)) return exact;
  const std::string wanted = Lower(name);
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (Lower(it->path().filename().string()) == wanted) return it->path();
  }
  return std::nullopt;
}

std::string DeclaredEncoding(std::string_view text) {
  if (!text.starts_with("<?xml")) return {};
  const size_t end = text.find("?>");
  const std::string_view decl = text.substr(0, end);
  const size_t at = decl.find("encoding");
  if (at == std::string_view::npos) return {};
  const size_t quote = decl.find_first_of("\"'", at);
  if (quote == std::string_view::npos) return {};
  const size_t close = decl.find(decl[quote], quote + 1);
  if (close == std::string_view::npos) return {};
  return Lower(decl.substr(quote + 1, close - quote - 1));
}

}  // namespace

bool IsValidLanguageCode(std::string_view code) {
  if (code.empty()) return false;
  for (char c : code) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool LiesInsideFolder(const fs::path& root, const fs::path& file) {
  std::error_code ec;
  const fs::path real_root = fs::canonical(root, ec);
  if (ec) return false;
  const fs::path real_file = fs::canonical(file, ec);
  if (ec) return false;
  std::string prefix = real_root.string();
  if (!prefix.ends_with('/')) prefix.push_back('/');
  return real_file.string().starts_with(prefix);
}

std::optional<fs::path> LanguageFilePath(const fs::path& install_path, std::string_view code) {
  if (!IsValidLanguageCode(code)) return std::nullopt;
  const std::optional<fs::path> templates = FindEntry(install_path, "Templates");
  std::optional<fs::path> path = templates;
  if (path) path = FindEntry(*path, code);
  if (path) path = FindEntry(*path, "language");
  if (path) path = FindEntry(*path, "language.xml");
  std::error_code ec;
  if (!path || !fs::is_regular_file(*path, ec)) return std::nullopt;
  if (!LiesInsideFolder(*templates, *path)) {
    MainSession().LogError("Language file " + path->string() +
                           " leads outside the template folder; not read");
    return std::nullopt;
  }
  return path;
}

std::string DecodeXMLFileBytes(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) return std::string(bytes.substr(3));
  if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) {
    throw std::runtime_error("Unsupported encoding UTF-16");
  }
  const std::string encoding = DeclaredEncoding(bytes);
  if (encoding.empty() || encoding == "utf-8" || encoding == "utf8") return std::string(bytes);
  // Files declared ISO-8859-1 are read as Windows-1252, which only gives the C1 control range
  // printable meaning (as web browsers do); such files in practice carry the euro sign there.
  if (encoding == "iso-8859-1" || encoding == "iso8859-1" || encoding == "latin1" ||
      encoding == "windows-1252" || encoding == "cp1252") {
    return Windows1252ToUtf8(bytes);
  }
  throw std::runtime_error("Unsupported encoding " + encoding);
}

std::string ReadLanguageFileText(const fs::path& install_path, std::string_view code) {
  const std::optional<fs::path> path = LanguageFilePath(install_path, code);
  if (!path) {
    throw std::runtime_error("Language file for \"" + std::string(code) + "\" not found in " +
                             (install_path / "Templates").string());
  }
  std::ifstream in(*path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  if (!in) throw std::runtime_error("Cannot read " + path->string());
  try {
    return DecodeXMLFileBytes(bytes.str());
  } catch (const std::runtime_error& e) {
    throw std::runtime_error(path->string() + ": " + e.what());
  }
}

void LoadLanguageFile(pugi::xml_document& doc, const fs::path& install_path,
                      std::string_view code) {
  const std::string text = ReadLanguageFileText(install_path, code);
  const pugi::xml_parse_result result =
      doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!result) {
    throw std::runtime_error("Language file of \"" + std::string(code) +
                             "\" is not well-formed XML: " + result.description());
  }
}

std::string LookupLanguageKey(const pugi::xml_document& doc, std::string_view key) {
  // An empty key would name the root element itself, which is no entry of the file.
  if (key.empty()) return {};
  return NodeText(FindXMLNode(doc.document_element(), key, false));
}

std::string TranslateLanguageCode(const fs::path& install_path, std::string_view languageCode,
                                  std::string_view translatedLanguage) {
  logging::TLgMethodScope scope(MainSession(), "TranslateLanguageCode");
  MainSession().LogString(TLgLevel::Debug, "languageCode", languageCode);
  MainSession().LogString(TLgLevel::Debug, "translatedLanguage", translatedLanguage);
  pugi::xml_document doc;
  LoadLanguageFile(doc, install_path, translatedLanguage);
  const std::string result = LookupLanguageKey(doc, "translation." + std::string(languageCode));
  MainSession().LogSource(TLgLevel::Debug, "language.xml", logging::TLgSourceId::Xml,
                          DocumentXMLText(doc));
  MainSession().LogString(TLgLevel::Debug, "Result", result);
  return result;
}

}  // namespace parlevo
