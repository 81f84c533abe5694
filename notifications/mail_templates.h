// The template files of a message: finding them below the install folder's "Templates" folder
// (a folder whose "body.*" files are the templates, or a mask such as ger\mail\*.invite.*), and
// producing their text with every tag <#Name Param=Value ...> replaced from the settings list.
//
// Thread safety: pure functions over the file system; any thread may call them.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "notifications/mail_settings.h"
#include "webservice/language_files.h"

namespace parlevo {

// IsValidLanguageCode (webservice/language_files.h) decides which language codes may stand in a
// template path.

struct TTemplateFiles {
  std::string mask;       // the folder and mask searched, for the trace
  bool use_mask = false;  // false: the template name named a folder, whose body.* files count
  std::vector<std::filesystem::path> files;  // regular files only, in name order
};

// Resolves mid ("\" or "/" separated) below templates_root. Folder names and the mask match
// without regard to letter case; files are listed in name order. A missing folder gives no
// files. Throws std::invalid_argument when mid could leave templates_root (empty parts, "." or
// "..") or its first part is no valid language code.
TTemplateFiles FindTemplateFiles(const std::filesystem::path& templates_root, std::string_view mid);

using TTagParams = std::vector<std::pair<std::string, std::string>>;

// The replacement of one tag: the settings value named like the tag (empty when there is none),
// or nothing at all when the tag asks for encoding (encode="1") or is "decryptscript".
std::string MainTemplateProducerHTMLTag(std::string_view tag, const TTagParams& params,
                                        const TSettingsList& settings);

// The text with every tag replaced through MainTemplateProducerHTMLTag. An unterminated tag stays
// as it is.
std::string ProduceTemplate(std::string_view text, const TSettingsList& settings);

}  // namespace parlevo
