#include "notifications/mail_address.h"

#include <algorithm>

#include "logging/lg_auto.h"
#include "notifications/mail_text.h"

namespace parlevo {

using logging::MainSession;
using logging::TLgLevel;

std::string ExtractNextRecipient(std::string& list) {
  size_t sep = list.find(',');
  if (sep == std::string::npos) sep = list.find(';');
  std::string address;
  if (sep != std::string::npos) {
    address = mail::TrimControls(std::string_view(list).substr(0, sep));
    list = mail::TrimControls(std::string_view(list).substr(sep + 1));
  } else {
    address = mail::TrimControls(list);
    list.clear();
  }
  return address;
}

bool IsValidMailChars(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
  });
}

bool IsValidEmail(std::string_view address) {
  const size_t at = address.find('@');
  if (at == std::string_view::npos) return false;
  if (address.find("..") != std::string_view::npos) return false;
  const std::string_view local = address.substr(0, at);
  const std::string_view domain = address.substr(at + 1);
  if (local.empty() || domain.size() < 4) return false;
  const size_t dot = domain.find('.');
  if (dot == std::string_view::npos) return false;
  const size_t position = dot + 1;  // counted from 1
  if (position < 2 || position > domain.size() - 2) return false;
  return IsValidMailChars(local) && IsValidMailChars(domain);
}

std::string ExtractFileNameExt(std::string_view file_name) {
  auto& log = MainSession();
  log.LogString(TLgLevel::Debug, "TEMailDataModule.ExtractFileNameExt: FileName", file_name);
  size_t cut = file_name.rfind('/');
  if (cut == std::string_view::npos) cut = file_name.rfind('\\');
  std::string result(cut == std::string_view::npos ? file_name : file_name.substr(cut + 1));
  log.LogString(TLgLevel::Debug, "TEMailDataModule.ExtractFileNameExt: Result", result);
  return result;
}

}  // namespace parlevo
