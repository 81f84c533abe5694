#include "logging/lg_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace parlevo::logging {

namespace {

// "*" and "?" wildcards, backtracking to the last "*" on a mismatch.
bool WildcardMatch(std::string_view pattern, std::string_view name) {
  size_t p = 0, n = 0, star = std::string_view::npos, resume = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      resume = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// Position (0-based) of the "." that starts the extension, or npos.
size_t ExtensionDot(std::string_view file_name) {
  size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos) return dot;
  size_t slash = file_name.rfind('/');
  if (slash != std::string_view::npos && slash > dot) return std::string_view::npos;
  return dot;
}

[[noreturn]] void ThrowFormatError(std::string_view format) {
  throw std::invalid_argument("Format '" + std::string(format) +
                              "' invalid or incompatible with argument");
}

std::string Pad(std::string text, int width, bool left) {
  if (width > 0 && text.size() < static_cast<size_t>(width)) {
    std::string fill(static_cast<size_t>(width) - text.size(), ' ');
    text = left ? text + fill : fill + text;
  }
  return text;
}

std::string MinDigits(std::string digits, int precision) {
  if (precision > 0 && digits.size() < static_cast<size_t>(precision)) {
    digits.insert(0, static_cast<size_t>(precision) - digits.size(), '0');
  }
  return digits;
}

std::string WithThousands(const std::string& fixed) {
  size_t start = (!fixed.empty() && fixed[0] == '-') ? 1 : 0;
  size_t dot = fixed.find('.');
  size_t int_end = dot == std::string::npos ? fixed.size() : dot;
  std::string out = fixed.substr(0, start);
  for (size_t i = start; i < int_end; ++i) {
    if (i > start && (int_end - i) % 3 == 0) out += ',';
    out += fixed[i];
  }
  return out + fixed.substr(int_end);
}

// Rewrites the exponent of a printf "E" number: at least min_digits digits, "+" only when asked.
std::string FixExponent(std::string text, size_t min_digits, bool plus) {
  size_t e = text.find('E');
  if (e == std::string::npos) return text;
  std::string mantissa = text.substr(0, e);
  char sign = text[e + 1];
  std::string digits = text.substr(e + 2);
  while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
  while (digits.size() < min_digits) digits.insert(0, "0");
  std::string out = mantissa + "E";
  if (sign == '-') {
    out += '-';
  } else if (plus) {
    out += '+';
  }
  return out + digits;
}

std::string FormatFloat(char type, double value, int precision) {
  char buffer[512];
  switch (type) {
    case 'f':
    case 'n': {
      int prec = precision < 0 ? 2 : std::min(precision, 18);
      std::snprintf(buffer, sizeof(buffer), "%.*f", prec, value);
      return type == 'n' ? WithThousands(buffer) : std::string(buffer);
    }
    case 'e': {
      int prec = precision < 0 ? 15 : std::clamp(precision, 1, 18);
      std::snprintf(buffer, sizeof(buffer), "%.*E", prec - 1, value);
      return FixExponent(buffer, 3, true);
    }
    default: {  // 'g'
      int prec = precision < 0 ? 15 : std::clamp(precision, 1, 18);
      std::snprintf(buffer, sizeof(buffer), "%.*G", prec, value);
      return FixExponent(buffer, 1, false);
    }
  }
}

}  // namespace

TLgFileHandle& TLgFileHandle::operator=(TLgFileHandle&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

int TLgFileHandle::Release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

void TLgFileHandle::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

TLgFileHandle LgCreateFile(const std::string& file_name, TLgFileAccess access,
                           TLgCreationDisposition disposition, int& error) {
  int flags = O_CLOEXEC | (access == TLgFileAccess::Read ? O_RDONLY : O_WRONLY);
  switch (disposition) {
    case TLgCreationDisposition::CreateAlways:
      flags |= O_CREAT | O_TRUNC;
      break;
    case TLgCreationDisposition::OpenAlways:
      flags |= O_CREAT;
      break;
    case TLgCreationDisposition::OpenExisting:
      break;
  }
  int fd;
  do {
    fd = ::open(file_name.c_str(), flags, 0666);
  } while (fd < 0 && errno == EINTR);
  error = fd < 0 ? errno : 0;
  return TLgFileHandle(fd);
}

std::string LgSysErrorMessage(int error) {
  char buffer[256];
  // GNU strerror_r may return a static text instead of filling the buffer.
  return strerror_r(error, buffer, sizeof(buffer));
}

bool LgDeleteFile(const std::string& file_name) {
  return ::unlink(file_name.c_str()) == 0;
}

bool LgFileExists(const std::string& file_name) {
  struct stat st;
  return ::stat(file_name.c_str(), &st) == 0;
}

void LgFindFiles(const std::string& pattern, std::vector<std::string>& list) {
  std::string folder = LgExtractFilePath(pattern);
  const std::string name_pattern = LgExtractFileName(pattern);
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.empty() ? "." : folder.c_str()),
                                          &::closedir);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir.get())) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (WildcardMatch(name_pattern, name)) list.push_back(folder + std::string(name));
  }
}

int LgLastDelimiter(std::string_view delimiters, std::string_view text) {
  size_t pos = text.find_last_of(delimiters);
  return pos == std::string_view::npos ? 0 : static_cast<int>(pos) + 1;
}

std::string LgExtractFileExt(std::string_view file_name) {
  size_t dot = ExtensionDot(file_name);
  return dot == std::string_view::npos ? std::string() : std::string(file_name.substr(dot));
}

std::string LgChangeFileExt(std::string_view file_name, std::string_view extension) {
  size_t dot = ExtensionDot(file_name);
  std::string out(file_name.substr(0, dot == std::string_view::npos ? file_name.size() : dot));
  return out + std::string(extension);
}

std::string LgExtractFileName(std::string_view file_name) {
  size_t slash = file_name.rfind('/');
  return std::string(slash == std::string_view::npos ? file_name : file_name.substr(slash + 1));
}

std::string LgExtractFilePath(std::string_view file_name) {
  size_t slash = file_name.rfind('/');
  return slash == std::string_view::npos ? std::string()
                                         : std::string(file_name.substr(0, slash + 1));
}

int LgLastPos(std::string_view pattern, std::string_view text) {
  if (pattern.empty() || text.size() < pattern.size()) return 0;
  size_t pos = text.rfind(pattern);
  return pos == std::string_view::npos ? 0 : static_cast<int>(pos) + 1;
}

std::string LgStringReplace(std::string_view text, std::string_view old_text,
                            std::string_view new_text) {
  if (text.empty() || old_text.empty()) return std::string(text);
  std::string out;
  size_t pos = 0;
  for (size_t hit; (hit = text.find(old_text, pos)) != std::string_view::npos;
       pos = hit + old_text.size()) {
    out.append(text.substr(pos, hit - pos)).append(new_text);
  }
  return out.append(text.substr(pos));
}

TDateTime LgNowUtc() {
  return NowUtc();
}

void LgSplit(std::string_view text, char delimiter, std::vector<std::string>& list) {
  if (text.empty()) return;
  size_t start = 0;
  for (size_t hit; (hit = text.find(delimiter, start)) != std::string_view::npos; start = hit + 1) {
    list.emplace_back(text.substr(start, hit - start));
  }
  list.emplace_back(text.substr(start));
}

std::string LgFormat(std::string_view format, std::initializer_list<TLgFormatArg> args) {
  std::string out;
  size_t next_arg = 0;
  auto take = [&](size_t index) -> const TLgFormatArg& {
    if (index >= args.size()) ThrowFormatError(format);
    return *(args.begin() + index);
  };
  auto take_int = [&]() -> int {
    const TLgFormatArg& a = take(next_arg++);
    if (a.kind() == TLgFormatArg::Kind::Signed) return static_cast<int>(a.AsSigned());
    if (a.kind() == TLgFormatArg::Kind::Unsigned) return static_cast<int>(a.AsUnsigned());
    ThrowFormatError(format);
  };
  // Digits or "*" at i; -1 when neither is there.
  auto read_number = [&](size_t& i) -> int {
    if (i < format.size() && format[i] == '*') {
      ++i;
      return take_int();
    }
    if (i >= format.size() || format[i] < '0' || format[i] > '9') return -1;
    int value = 0;
    while (i < format.size() && format[i] >= '0' && format[i] <= '9') {
      value = std::min(value * 10 + (format[i++] - '0'), 1 << 20);
    }
    return value;
  };

  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    if (++i >= format.size()) ThrowFormatError(format);
    if (format[i] == '%') {
      out += '%';
      continue;
    }
    size_t save = i;
    int index = format[i] == '*' ? -1 : read_number(i);  // an index is digits only
    if (index >= 0 && i < format.size() && format[i] == ':') {
      next_arg = static_cast<size_t>(index);
      ++i;
    } else {
      i = save;  // those digits (or "*") were the width
    }
    bool left = false;
    if (i < format.size() && format[i] == '-') {
      left = true;
      ++i;
    }
    int width = read_number(i);
    int precision = -1;
    if (i < format.size() && format[i] == '.') {
      ++i;
      precision = std::max(read_number(i), 0);
    }
    if (i >= format.size()) ThrowFormatError(format);
    const char type = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    const TLgFormatArg& arg = take(next_arg++);
    using Kind = TLgFormatArg::Kind;
    std::string text;
    switch (type) {
      case 'd':
      case 'u':
        if (arg.kind() == Kind::Signed && type == 'd') {
          int64_t v = arg.AsSigned();
          std::string digits =
              std::to_string(v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
          text = (v < 0 ? "-" : "") + MinDigits(digits, precision);
        } else if (arg.kind() == Kind::Unsigned ||
                   (arg.kind() == Kind::Signed && arg.AsSigned() >= 0)) {
          uint64_t v = arg.kind() == Kind::Unsigned ? arg.AsUnsigned()
                                                    : static_cast<uint64_t>(arg.AsSigned());
          text = MinDigits(std::to_string(v), precision);
        } else {
          ThrowFormatError(format);
        }
        break;
      case 'x': {
        uint64_t v;
        if (arg.kind() == Kind::Unsigned) {
          v = arg.AsUnsigned();
        } else if (arg.kind() == Kind::Signed) {
          v = static_cast<uint64_t>(arg.AsSigned());
        } else {
          ThrowFormatError(format);
        }
        char buffer[24];
        std::snprintf(buffer, sizeof(buffer), "%llX", static_cast<unsigned long long>(v));
        text = MinDigits(buffer, precision);
        break;
      }
      case 's':
        if (arg.kind() != Kind::String) ThrowFormatError(format);
        text = std::string(arg.AsString());
        if (precision >= 0 && text.size() > static_cast<size_t>(precision)) {
          text.resize(static_cast<size_t>(precision));
        }
        break;
      case 'p': {
        if (arg.kind() != Kind::Pointer) ThrowFormatError(format);
        char buffer[24];
        std::snprintf(
            buffer, sizeof(buffer), "%016llX",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(arg.AsPointer())));
        text = buffer;
        break;
      }
      case 'f':
      case 'n':
      case 'e':
      case 'g': {
        double v;
        if (arg.kind() == Kind::Float) {
          v = arg.AsFloat();
        } else if (arg.kind() == Kind::Signed) {
          v = static_cast<double>(arg.AsSigned());
        } else if (arg.kind() == Kind::Unsigned) {
          v = static_cast<double>(arg.AsUnsigned());
        } else {
          ThrowFormatError(format);
        }
        text = FormatFloat(type, v, precision);
        break;
      }
      default:
        ThrowFormatError(format);
    }
    out += Pad(std::move(text), width, left);
  }
  return out;
}

}  // namespace parlevo::logging
