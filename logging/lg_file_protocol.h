// The "file" output: packets in the binary log format written to a log file, with output
// buffering, a size limit, time-based rotation into parts named with a UTC time stamp
// ("log-2024-01-02-03-04-05.lgf", then "...05a.lgf" for a second part within the same second),
// deletion of the oldest parts, and optional AES-128-CBC encryption of the whole file ("LOGE",
// the 16-byte vector, then the cipher text of the plain log).
//
// Options besides the common ones: "filename" (default "log.lgf"), "append", "buffer" (size),
// "maxsize" (size), "maxparts", "rotate" (none, hourly, daily, weekly, monthly), "encrypt",
// "key" (16 bytes of its UTF-8 text, filled up with zero bytes). Relative file names are taken
// from the process's current folder.
//
// Thread safety: as TLgProtocolBase; the streams are touched only under its lock (or by its
// scheduler thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "logging/lg_binary_format.h"
#include "logging/lg_connections.h"
#include "logging/lg_crypto_stream.h"
#include "logging/lg_protocol_base.h"
#include "logging/lg_rijndael.h"
#include "logging/lg_streams.h"
#include "platform/datetime.h"

namespace parlevo::logging {

// Which rotation period a moment falls into.
class TLgFileRotater {
 public:
  TLgFileRotate Mode() const { return mode_; }
  void SetMode(TLgFileRotate mode) { mode_ = mode; }
  int32_t TimeValue() const { return time_value_; }
  void Initialize(TDateTime time) { time_value_ = ComputeTimeValue(time); }
  // True (and remembered) when the time falls into another period than the last one.
  bool Update(TDateTime time);
  // Hourly: days * 24 + hour; daily: days; weekly: the days of that week's Monday; monthly:
  // year * 12 + month; none: 0.
  int32_t ComputeTimeValue(TDateTime time) const;

 private:
  TLgFileRotate mode_ = TLgFileRotate::None;
  int32_t time_value_ = 0;
};

// The parts of a rotated log file. A part's name is the base name without its extension, "-",
// the UTC time stamp "yyyy-mm-dd-hh-nn-ss" (a real date and time), any number of "a", and the
// base name's extension; nothing else is taken for a part.
class TLgFileHelper {
 public:
  // With append the newest existing part when there is one; otherwise a new name for now_utc.
  static std::string GetFileName(const std::string& base_name, bool append, TDateTime now_utc);
  // The existing parts, oldest first (full paths).
  static std::vector<std::string> ListFiles(const std::string& base_name);
  static bool TryGetFileDate(const std::string& base_name, const std::string& path,
                             TDateTime& date);
  // Raises ELgProtocolError "Invalid filename" when the name is not a part's.
  static TDateTime GetFileDate(const std::string& base_name, const std::string& path);
  // Deletes the oldest parts until at most max_parts remain.
  static void DeleteFiles(const std::string& base_name, int max_parts);
};

class TLgFileProtocol : public TLgProtocolBase {
 public:
  using UtcClock = std::function<TDateTime()>;

  std::string GetName() const override { return "file"; }

  const std::string& FileName() const { return file_name_; }
  bool Append() const { return append_; }
  int64_t Buffer() const { return buffer_; }
  int64_t MaxSize() const { return max_size_; }
  int32_t MaxParts() const { return max_parts_; }
  TLgFileRotate Rotate() const { return rotate_; }
  bool Encrypt() const { return encrypt_; }
  // The header size plus the compiled sizes of the packets in the current file.
  int64_t FileSize() const { return file_size_; }

  // Replaces the UTC clock of part names and rotation (tests).
  void SetClock(UtcClock clock);

 protected:
  // Made as TLgOutput<TLgFileProtocol>, which closes the connection on destruction.
  TLgFileProtocol();

  void BuildOptions(TLgConnectionsBuilder& builder) const override;
  void LoadOptions() override;
  bool IsValidOption(std::string_view name) const override;
  void InternalConnect() override;
  void InternalDisconnect() override;
  void InternalWritePacket(const TLgPacketPtr& packet) override;
  void InternalFlushDisconnect() override;

  virtual TLgFormatter& Formatter() { return formatter_; }
  virtual std::string DefaultFileName() const { return "log.lgf"; }
  virtual TLgByteStream& GetStream(TLgByteStream& stream) { return stream; }
  // Writes the file's start when the file is empty; returns the new size.
  virtual int64_t WriteHeader(TLgByteStream& stream, int64_t size);
  virtual void WriteFooter(TLgByteStream& stream) {}

 private:
  bool TimestampedNames() const;
  void OpenFile(bool append);
  void RotateFile();

  TLgBinaryFormatter formatter_;
  UtcClock clock_;
  std::string file_name_;
  bool append_ = false;
  int64_t buffer_ = 0;
  int64_t max_size_ = 0;
  int32_t max_parts_ = 0;
  TLgFileRotate rotate_ = TLgFileRotate::None;
  std::vector<uint8_t> key_;
  bool encrypt_ = false;
  int64_t file_size_ = 0;
  int64_t buffered_bytes_ = 0;
  TLgFileRotater rotater_;
  std::unique_ptr<TLgFileStream> file_;
  std::unique_ptr<TRijndael> cipher_;
  std::unique_ptr<TEncryptStream> encrypt_stream_;
  std::unique_ptr<TLgBufferedStream> buffered_;
  TLgMemoryStream record_;  // the packet being written, whole
};

}  // namespace parlevo::logging
