// The language files of the template folders: "Templates/<code>/language/language.xml" below
// the install folder, read in the encoding their XML declaration names (UTF-8, ISO-8859-1 or
// Windows-1252), and looked up by dotted key such as "translation.eng".
//
// Thread safety: every function may be called from any thread; each call reads the file anew.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace parlevo {

// Only letters, digits, "_" and "-" may reach a file path; a code with anything else (or an
// empty one) is treated like a language without a file.
bool IsValidLanguageCode(std::string_view code);

// True when file, with every symbolic link followed, is an existing entry inside the real folder
// root (itself resolved the same way). The template files are read only where this holds, so that
// a link planted in Templates/ cannot hand out files from elsewhere.
bool LiesInsideFolder(const std::filesystem::path& root, const std::filesystem::path& file);

// The language file of a code; the folder names are matched without regard to letter case, as
// on the system the template folders come from. nullopt when the code is not valid or no such
// file exists, or when the file's real path lies outside the real "Templates" folder.
std::optional<std::filesystem::path> LanguageFilePath(const std::filesystem::path& install_path,
                                                      std::string_view code);

// The file's text as UTF-8 (line breaks kept). Throws std::runtime_error when the code is not
// valid, the file is missing or unreadable, or its declared encoding is not one of the three.
std::string ReadLanguageFileText(const std::filesystem::path& install_path, std::string_view code);

// Reads and parses the file; throws std::runtime_error as above and for malformed XML.
void LoadLanguageFile(pugi::xml_document& doc, const std::filesystem::path& install_path,
                      std::string_view code);

// The text of the element at the dotted key below the root element (segments lowered); the empty
// text when the file lacks the key. The document is not changed.
std::string LookupLanguageKey(const pugi::xml_document& doc, std::string_view key);

// The name of languageCode in the language translatedLanguage: key "translation." + languageCode
// of translatedLanguage's file. Throws std::runtime_error when that file cannot be loaded.
std::string TranslateLanguageCode(const std::filesystem::path& install_path,
                                  std::string_view languageCode,
                                  std::string_view translatedLanguage);

// Decodes the bytes of an XML file to UTF-8 as its byte-order mark or declaration says. Throws
// std::runtime_error for an encoding other than UTF-8, ISO-8859-1 and Windows-1252.
std::string DecodeXMLFileBytes(std::string_view bytes);

}  // namespace parlevo
