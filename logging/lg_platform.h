// The small file, text and clock routines the logging library uses instead of the general
// run-time library: file creation and lookup on paths, path pieces, search and replace, splitting,
// formatting, the UTC clock and the host name. Paths and texts are UTF-8; "/" separates folders.
//
// Thread safety: every routine may be called from any thread; none keeps state between calls.
#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "platform/datetime.h"

namespace parlevo::logging {

// An open file descriptor, closed when the handle goes.
class TLgFileHandle {
 public:
  TLgFileHandle() = default;
  explicit TLgFileHandle(int fd) : fd_(fd) {}
  ~TLgFileHandle() { Close(); }
  TLgFileHandle(TLgFileHandle&& other) noexcept : fd_(other.Release()) {}
  TLgFileHandle& operator=(TLgFileHandle&& other) noexcept;
  TLgFileHandle(const TLgFileHandle&) = delete;
  TLgFileHandle& operator=(const TLgFileHandle&) = delete;

  bool Valid() const { return fd_ >= 0; }
  int Get() const { return fd_; }
  int Release();
  void Close();

 private:
  int fd_ = -1;
};

enum class TLgFileAccess : uint8_t { Read, Write };

enum class TLgCreationDisposition : uint8_t {
  CreateAlways,  // create, or truncate an existing file
  OpenAlways,    // open, or create when missing
  OpenExisting,  // fail when missing
};

// Opens or creates the file (permissions 0666 less the umask; the descriptor is not inherited
// by child processes). Returns an invalid handle on failure, with the errno value in error
// (0 on success).
TLgFileHandle LgCreateFile(const std::string& file_name, TLgFileAccess access,
                           TLgCreationDisposition disposition, int& error);

// The system's text for an errno value.
std::string LgSysErrorMessage(int error);

// True when the file was removed.
bool LgDeleteFile(const std::string& file_name);

// True when something (a file or a folder) of that name exists.
bool LgFileExists(const std::string& file_name);

// Appends the folder part of pattern (with a "/" added when missing and the part is not empty)
// joined with every entry of that folder whose name matches the name part of pattern ("*" any
// run of characters, "?" one character; case-sensitive, as Linux file names are). Entries are
// appended in the order the folder lists them; "." and ".." never match.
void LgFindFiles(const std::string& pattern, std::vector<std::string>& list);

// 1-based position of the last character of text that is one of delimiters; 0 when none.
int LgLastDelimiter(std::string_view delimiters, std::string_view text);

// From the last "." to the end when that "." comes after the last "/"; else empty.
std::string LgExtractFileExt(std::string_view file_name);
// The name without that extension, followed by extension (which should bring its own ".").
std::string LgChangeFileExt(std::string_view file_name, std::string_view extension);
// The part after the last "/".
std::string LgExtractFileName(std::string_view file_name);
// The part up to and including the last "/".
std::string LgExtractFilePath(std::string_view file_name);

// 1-based start of the last occurrence of pattern in text; 0 when there is none, when the text
// is shorter or when the pattern is empty.
int LgLastPos(std::string_view pattern, std::string_view text);

// Replaces every occurrence of old_text, left to right, without rescanning replaced text
// ("aaa", "aa" -> "b" gives "ba"). An empty old_text or text leaves the text unchanged.
std::string LgStringReplace(std::string_view text, std::string_view old_text,
                            std::string_view new_text);

// The current UTC time with milliseconds.
TDateTime LgNowUtc();

// Appends the pieces of text between delimiters, in order, empty pieces and the last piece
// included; an empty text appends nothing.
void LgSplit(std::string_view text, char delimiter, std::vector<std::string>& list);

// One argument of LgFormat.
class TLgFormatArg {
 public:
  enum class Kind : uint8_t { Signed, Unsigned, Float, String, Pointer };

  template <std::signed_integral T>
  TLgFormatArg(T value) : kind_(Kind::Signed), signed_(value) {}
  template <std::unsigned_integral T>
  TLgFormatArg(T value) : kind_(Kind::Unsigned), unsigned_(value) {}
  TLgFormatArg(double value) : kind_(Kind::Float), float_(value) {}
  TLgFormatArg(std::string_view value) : kind_(Kind::String), string_(value) {}
  TLgFormatArg(const char* value) : kind_(Kind::String), string_(value) {}
  TLgFormatArg(const std::string& value) : kind_(Kind::String), string_(value) {}
  TLgFormatArg(const void* value) : kind_(Kind::Pointer), pointer_(value) {}

  Kind kind() const { return kind_; }
  int64_t AsSigned() const { return signed_; }
  uint64_t AsUnsigned() const { return unsigned_; }
  double AsFloat() const { return float_; }
  std::string_view AsString() const { return string_; }
  const void* AsPointer() const { return pointer_; }

 private:
  Kind kind_;
  int64_t signed_ = 0;
  uint64_t unsigned_ = 0;
  double float_ = 0;
  std::string_view string_;
  const void* pointer_ = nullptr;
};

// Formats like the house's Format: "%" [index ":"] ["-"] [width] ["." precision] type, where
// width and precision may be "*" (taken from the next argument) and type is one of
//   d  signed or unsigned integer; precision = minimum digits
//   u  unsigned integer
//   x  integer in upper-case hexadecimal; precision = minimum digits
//   s  string; precision = maximum characters
//   p  pointer as 16 upper-case hexadecimal digits
//   f  fixed-point number, precision digits after "." (default 2)
//   n  like f with "," between thousands
//   e  scientific "d.ddd...E+ddd", precision significant digits (default 15)
//   g  shortest of fixed and scientific, precision significant digits (default 15)
// and "%%" is one "%". The decimal separator is "." whatever the locale. A specifier that does
// not fit its argument, or a missing argument, throws std::invalid_argument
// "Format '<format>' invalid or incompatible with argument".
std::string LgFormat(std::string_view format, std::initializer_list<TLgFormatArg> args);

}  // namespace parlevo::logging
