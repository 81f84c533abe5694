#include "webservice/base64.h"

#include <array>
#include <cstdint>

#include "platform/text_codec.h"

namespace parlevo {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 255;

constexpr std::array<uint8_t, 256> MakeReverseTable() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (size_t i = 0; i < kAlphabet.size(); ++i) {
    table[static_cast<uint8_t>(kAlphabet[i])] = static_cast<uint8_t>(i);
  }
  return table;
}

constexpr std::array<uint8_t, 256> kReverse = MakeReverseTable();

uint8_t Value(char c) {
  return kReverse[static_cast<uint8_t>(c)];
}

}  // namespace

size_t Base64EncodedLength(size_t n) {
  return 4 * (n / 3) + (n % 3 != 0 ? 4 : 0);
}

size_t Base64DecodedLength(std::string_view s) {
  const size_t n = s.size();
  if (n == 0 || n % 4 != 0) return 0;
  size_t length = 3 * (n / 4);
  if (s[n - 2] == '=') {
    length -= 2;
  } else if (s[n - 1] == '=') {
    length -= 1;
  }
  return length;
}

std::string Base64EncodeBytes(std::string_view bytes) {
  std::string out;
  out.reserve(Base64EncodedLength(bytes.size()));
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(kAlphabet[(v >> 18) & 0x3F]);
    out.push_back(kAlphabet[(v >> 12) & 0x3F]);
    out.push_back(kAlphabet[(v >> 6) & 0x3F]);
    out.push_back(kAlphabet[v & 0x3F]);
  }
  const size_t rest = bytes.size() - i;
  if (rest == 1) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    out.push_back(kAlphabet[(v >> 18) & 0x3F]);
    out.push_back(kAlphabet[(v >> 12) & 0x3F]);
    out += "==";
  } else if (rest == 2) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1])
                                                                  << 8;
    out.push_back(kAlphabet[(v >> 18) & 0x3F]);
    out.push_back(kAlphabet[(v >> 12) & 0x3F]);
    out.push_back(kAlphabet[(v >> 6) & 0x3F]);
    out.push_back('=');
  }
  return out;
}

std::string Base64DecodeBytes(std::string_view s) {
  const size_t n = s.size();
  if (n == 0 || n % 4 != 0) return {};
  std::string out(Base64DecodedLength(s), '.');
  size_t o = 0;
  const size_t last = n - 4;
  for (size_t i = 0; i < last; i += 4) {
    const uint8_t a = Value(s[i]), b = Value(s[i + 1]), c = Value(s[i + 2]), d = Value(s[i + 3]);
    if (a == kInvalid || b == kInvalid || c == kInvalid || d == kInvalid) return {};
    out[o++] = static_cast<char>(a << 2 | b >> 4);
    out[o++] = static_cast<char>((b & 0x0F) << 4 | c >> 2);
    out[o++] = static_cast<char>((c & 0x03) << 6 | d);
  }
  // The last group may carry padding; after an "=" in third place the fourth is not examined.
  const uint8_t a = Value(s[last]), b = Value(s[last + 1]);
  if (a == kInvalid || b == kInvalid) return {};
  out[o++] = static_cast<char>(a << 2 | b >> 4);
  if (s[last + 2] == '=') return out;
  const uint8_t c = Value(s[last + 2]);
  if (c == kInvalid || o >= out.size()) return {};
  out[o++] = static_cast<char>((b & 0x0F) << 4 | c >> 2);
  if (s[last + 3] == '=') return out;
  const uint8_t d = Value(s[last + 3]);
  if (d == kInvalid || o >= out.size()) return {};
  out[o++] = static_cast<char>((c & 0x03) << 6 | d);
  return out;
}

std::string Base64Encode(std::string_view text) {
  return Base64EncodeBytes(Utf8ToWindows1252(text));
}

std::string Base64Decode(std::string_view text) {
  return Windows1252ToUtf8(Base64DecodeBytes(text));
}

}  // namespace parlevo
