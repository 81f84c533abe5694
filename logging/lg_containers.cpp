#include "logging/lg_containers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "logging/lg_exceptions.h"
#include "logging/lg_text.h"

namespace parlevo::logging {

uint32_t LgHashCode(std::string_view key) {
  uint32_t h = 5381;
  for (char16_t c : ToUtf16(LowerCaseText(key))) h = h * 33 + c;
  return h;
}

bool LgKeysEqual(std::string_view a, std::string_view b) {
  return SameText(a, b);
}

void TLgStringList::Add(std::string text) {
  items_.push_back(std::move(text));
}

const std::string& TLgStringList::Strings(int index) const {
  if (index < 0 || index >= Count()) throw ELogCenterError("Index out of bounds");
  return items_[static_cast<size_t>(index)];
}

void TLgStringList::Delete(int index) {
  if (index < 0 || index >= Count()) throw ELogCenterError("Index out of bounds");
  items_.erase(items_.begin() + index);
}

void TLgStringList::Sort() {
  // Comparing the UTF-16 forms orders by character code exactly as a viewer comparing wide
  // strings would (UTF-8 byte order differs for characters beyond the basic plane).
  std::vector<std::pair<std::u16string, std::string>> keyed;
  keyed.reserve(items_.size());
  for (auto& item : items_) keyed.emplace_back(ToUtf16(item), std::move(item));
  std::sort(keyed.begin(), keyed.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (size_t i = 0; i < keyed.size(); ++i) items_[i] = std::move(keyed[i].second);
}

void TLgStringList::SetText(std::string_view text) {
  items_ = SplitLines(text);
}

void TLgStringList::LoadFromFile(const std::string& file_name) {
  std::ifstream in(file_name, std::ios::binary);
  if (!in) throw ELogCenterError(std::strerror(errno));
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw ELogCenterError(std::strerror(errno));
  SetText(DecodeTextFileBytes(bytes));
}

std::string DecodeTextFileBytes(std::string_view bytes) {
  auto at = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 3 && at(0) == 0xEF && at(1) == 0xBB && at(2) == 0xBF) {
    return std::string(bytes.substr(3));
  }
  if (bytes.size() >= 3 && ((at(0) == 0xFF && at(1) == 0xFE) || (at(0) == 0xFE && at(1) == 0xFF))) {
    const bool little = at(0) == 0xFF;
    std::u16string units;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
      units += little ? static_cast<char16_t>(at(i) | (at(i + 1) << 8))
                      : static_cast<char16_t>((at(i) << 8) | at(i + 1));
    }
    return FromUtf16(units);
  }
  // Not UTF-8 with a marker: valid UTF-8 stays as it is, anything else is read as Latin-1.
  return FromUtf16(ToUtf16(bytes));
}

void TLgStringBuilder::Append(std::string_view text) {
  const size_t added = Utf16Length(text);
  while (length_ + added > capacity_) capacity_ *= 2;
  if (text_.capacity() < text_.size() + text.size()) text_.reserve(capacity_ * 2);
  text_.append(text);
  length_ += added;
}

void TLgStringBuilder::Clear() {
  text_.clear();
  length_ = 0;
  if (capacity_ >= 1048576) {
    capacity_ = 256;
    text_.shrink_to_fit();
    text_.reserve(capacity_);
  }
}

}  // namespace parlevo::logging
