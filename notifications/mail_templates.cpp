#include "notifications/mail_templates.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <system_error>

#include "notifications/mail_text.h"
#include "webservice/language_files.h"

namespace parlevo {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> SplitTemplateName(std::string_view mid) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : mid) {
    if (c == '\\' || c == '/') {
      parts.push_back(std::move(current));
      current.clear();
    } else {
      current += c;
    }
  }
  parts.push_back(std::move(current));
  return parts;
}

// Name order: letter case ignored first, so that "Body.html" and "body.txt" sort as people read
// them; equal names then by their bytes, so the order is total.
bool NameLess(const std::string& a, const std::string& b) {
  const std::string la = ToLowerAscii(a), lb = ToLowerAscii(b);
  return la != lb ? la < lb : a < b;
}

// The entry of dir named name, the exact spelling first, else the first in name order whose
// name equals it without regard to case.
std::optional<fs::path> ResolveIgnoringCase(const fs::path& dir, const std::string& name) {
  std::error_code ec;
  if (fs::exists(dir / name, ec)) return dir / name;
  std::optional<std::string> best;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const std::string entry_name = entry.path().filename().string();
    if (EqualsIgnoreCaseAscii(entry_name, name) && (!best || NameLess(entry_name, *best))) {
      best = entry_name;
    }
  }
  if (!best) return std::nullopt;
  return dir / *best;
}

std::optional<fs::path> ResolveFolder(fs::path dir, const std::vector<std::string>& parts,
                                      size_t count) {
  std::error_code ec;
  for (size_t i = 0; i < count; ++i) {
    auto next = ResolveIgnoringCase(dir, parts[i]);
    if (!next || !fs::is_directory(*next, ec)) return std::nullopt;
    dir = std::move(*next);
  }
  return dir;
}

// Only files whose real path lies inside the real template root count: a link to a file
// elsewhere would otherwise go out as a mail text.
std::vector<fs::path> MatchingFiles(const fs::path& root, const fs::path& dir,
                                    std::string_view mask) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    std::error_code type_ec;
    if (!entry.is_regular_file(type_ec)) continue;
    if (!LiesInsideFolder(root, entry.path())) continue;
    std::string name = entry.path().filename().string();
    if (mail::WildcardMatch(mask, name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), NameLess);
  std::vector<fs::path> files;
  for (const auto& name : names) files.push_back(dir / name);
  return files;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Parses the inside of a tag (between "<#" and ">") into its name and parameters.
std::pair<std::string, TTagParams> ParseTag(std::string_view inside) {
  size_t i = 0;
  while (i < inside.size() && !IsBlank(inside[i])) ++i;
  std::string name(inside.substr(0, i));
  TTagParams params;
  while (i < inside.size()) {
    while (i < inside.size() && IsBlank(inside[i])) ++i;
    const size_t key_start = i;
    while (i < inside.size() && !IsBlank(inside[i]) && inside[i] != '=') ++i;
    std::string key(inside.substr(key_start, i - key_start));
    std::string value;
    if (i < inside.size() && inside[i] == '=') {
      ++i;
      if (i < inside.size() && (inside[i] == '"' || inside[i] == '\'')) {
        const char quote = inside[i++];
        const size_t end = inside.find(quote, i);
        const size_t stop = end == std::string_view::npos ? inside.size() : end;
        value = std::string(inside.substr(i, stop - i));
        i = stop == inside.size() ? stop : stop + 1;
      } else {
        const size_t value_start = i;
        while (i < inside.size() && !IsBlank(inside[i])) ++i;
        value = std::string(inside.substr(value_start, i - value_start));
      }
    }
    if (!key.empty()) params.emplace_back(std::move(key), std::move(value));
  }
  return {std::move(name), std::move(params)};
}

// Position of the ">" that ends the tag whose inside starts at from; quoted values may hold ">".
size_t FindTagEnd(std::string_view text, size_t from) {
  char quote = 0;
  for (size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if ((c == '"' || c == '\'') && i > from && text[i - 1] == '=') {
      quote = c;
    } else if (c == '>') {
      return i;
    }
  }
  return std::string_view::npos;
}

}  // namespace

TTemplateFiles FindTemplateFiles(const fs::path& templates_root, std::string_view mid) {
  const std::vector<std::string> parts = SplitTemplateName(mid);
  if (!IsValidLanguageCode(parts.front())) {
    throw std::invalid_argument("invalid template language in '" + std::string(mid) + "'");
  }
  for (const auto& part : parts) {
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string::npos) {
      throw std::invalid_argument("invalid template name '" + std::string(mid) + "'");
    }
  }

  TTemplateFiles result;
  if (auto folder = ResolveFolder(templates_root, parts, parts.size())) {
    result.use_mask = false;
    result.mask = (*folder / "body.*").string();
    result.files = MatchingFiles(templates_root, *folder, "body.*");
    return result;
  }
  result.use_mask = true;
  const std::string& mask = parts.back();
  auto folder = ResolveFolder(templates_root, parts, parts.size() - 1);
  if (!folder) {
    fs::path wanted = templates_root;
    for (const auto& part : parts) wanted /= part;
    result.mask = wanted.string();
    return result;
  }
  result.mask = (*folder / mask).string();
  result.files = MatchingFiles(templates_root, *folder, mask);
  return result;
}

std::string MainTemplateProducerHTMLTag(std::string_view tag, const TTagParams& params,
                                        const TSettingsList& settings) {
  bool encode = false;
  for (const auto& [key, value] : params) {
    if (EqualsIgnoreCaseAscii(key, "encode")) {
      encode = value == "1";
      break;
    }
  }
  // The decryption script's base address is a setting nothing provides, so the tag has no
  // address to give.
  if (EqualsIgnoreCaseAscii(tag, "decryptscript")) return {};
  if (tag.empty() || encode) return {};
  return settings.Value(tag);
}

std::string ProduceTemplate(std::string_view text, const TSettingsList& settings) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    const size_t start = text.find("<#", pos);
    if (start == std::string_view::npos) break;
    const size_t end = FindTagEnd(text, start + 2);
    if (end == std::string_view::npos) break;
    out.append(text.substr(pos, start - pos));
    const auto [name, params] = ParseTag(text.substr(start + 2, end - start - 2));
    out.append(MainTemplateProducerHTMLTag(name, params, settings));
    pos = end + 1;
  }
  out.append(text.substr(pos));
  return out;
}

}  // namespace parlevo
