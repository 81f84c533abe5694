#include "logging/lg_file_protocol.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include "logging/lg_exceptions.h"
#include "logging/lg_platform.h"

namespace parlevo::logging {
namespace {

constexpr size_t kDefaultBufferSize = 8192;
constexpr size_t kRecordKeepSize = 1048576;
constexpr size_t kKeySize = 16;
constexpr std::string_view kPartTimestampFormat = "yyyy-mm-dd-hh-nn-ss";
constexpr size_t kPartTimestampLength = 19;

int32_t WholeDays(TDateTime time) {
  return static_cast<int32_t>(std::floor(time));
}

bool ParseNumber(std::string_view text, int& value) {
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

// The UTC time stamp of a part name's rest ("2024-01-02-03-04-05" and any number of "a").
bool ParsePartTimestamp(std::string_view rest, TDateTime& date) {
  if (rest.size() < kPartTimestampLength) return false;
  if (rest.substr(kPartTimestampLength).find_first_not_of('a') != std::string_view::npos) {
    return false;
  }
  const std::string_view stamp = rest.substr(0, kPartTimestampLength);
  for (size_t dash : {4u, 7u, 10u, 13u, 16u}) {
    if (stamp[dash] != '-') return false;
  }
  int year, month, day, hour, minute, second;
  if (!ParseNumber(stamp.substr(0, 4), year) || !ParseNumber(stamp.substr(5, 2), month) ||
      !ParseNumber(stamp.substr(8, 2), day) || !ParseNumber(stamp.substr(11, 2), hour) ||
      !ParseNumber(stamp.substr(14, 2), minute) || !ParseNumber(stamp.substr(17, 2), second)) {
    return false;
  }
  if (!IsValidDate(year, month, day) || !IsValidTime(hour, minute, second, 0)) return false;
  date = EncodeDate(year, month, day) + EncodeTime(hour, minute, second, 0);
  return true;
}

}  // namespace

bool TLgFileRotater::Update(TDateTime time) {
  const int32_t value = ComputeTimeValue(time);
  if (value == time_value_) return false;
  time_value_ = value;
  return true;
}

int32_t TLgFileRotater::ComputeTimeValue(TDateTime time) const {
  switch (mode_) {
    case TLgFileRotate::None:
      return 0;
    case TLgFileRotate::Hourly:
      return WholeDays(time) * 24 + DecodeDateTime(time).hour;
    case TLgFileRotate::Daily:
      return WholeDays(time);
    case TLgFileRotate::Weekly: {
      const int iso_day = (DayOfWeek(time) + 5) % 7 + 1;  // Monday 1 ... Sunday 7
      return WholeDays(time - (iso_day - 1));
    }
    case TLgFileRotate::Monthly: {
      const CivilDateTime c = DecodeDateTime(time);
      return c.year * 12 + c.month;
    }
  }
  return 0;
}

std::string TLgFileHelper::GetFileName(const std::string& base_name, bool append,
                                       TDateTime now_utc) {
  if (append) {
    const std::vector<std::string> parts = ListFiles(base_name);
    if (!parts.empty()) return parts.back();
  }
  const std::string extension = LgExtractFileExt(base_name);
  std::string stem =
      LgChangeFileExt(base_name, "") + "-" + FormatDateTime(kPartTimestampFormat, now_utc);
  while (LgFileExists(stem + extension)) stem += "a";
  return stem + extension;
}

std::vector<std::string> TLgFileHelper::ListFiles(const std::string& base_name) {
  std::vector<std::string> found;
  LgFindFiles(LgChangeFileExt(base_name, "") + "-*" + LgExtractFileExt(base_name), found);
  std::sort(found.begin(), found.end());
  std::vector<std::string> parts;
  for (auto& path : found) {
    TDateTime date;
    if (TryGetFileDate(base_name, path, date)) parts.push_back(std::move(path));
  }
  return parts;
}

bool TLgFileHelper::TryGetFileDate(const std::string& base_name, const std::string& path,
                                   TDateTime& date) {
  const std::string stem = LgExtractFileName(LgChangeFileExt(base_name, ""));
  const std::string file = LgExtractFileName(path);
  if (file.size() <= stem.size() + 1 || file.compare(0, stem.size(), stem) != 0) return false;
  if (file[stem.size()] != '-') return false;
  if (LgExtractFileExt(file) != LgExtractFileExt(base_name)) return false;
  const std::string rest = LgChangeFileExt(file.substr(stem.size() + 1), "");
  return ParsePartTimestamp(rest, date);
}

TDateTime TLgFileHelper::GetFileDate(const std::string& base_name, const std::string& path) {
  TDateTime date = 0;
  if (!TryGetFileDate(base_name, path, date)) {
    throw ELgProtocolError("Invalid filename", "file", "");
  }
  return date;
}

void TLgFileHelper::DeleteFiles(const std::string& base_name, int max_parts) {
  const std::vector<std::string> parts = ListFiles(base_name);
  for (size_t i = 0; i + static_cast<size_t>(std::max(max_parts, 0)) < parts.size(); ++i) {
    LgDeleteFile(parts[i]);
  }
}

TLgFileProtocol::TLgFileProtocol() : clock_(LgNowUtc) {
  TLgFileProtocol::LoadOptions();
}

void TLgFileProtocol::SetClock(UtcClock clock) {
  clock_ = clock ? std::move(clock) : UtcClock(LgNowUtc);
}

bool TLgFileProtocol::IsValidOption(std::string_view name) const {
  for (std::string_view option :
       {"filename", "buffer", "append", "encrypt", "key", "maxsize", "maxparts", "rotate"}) {
    if (name == option) return true;
  }
  return TLgProtocolBase::IsValidOption(name);
}

void TLgFileProtocol::LoadOptions() {
  TLgProtocolBase::LoadOptions();
  const TLgLookupTable& options = Options();
  file_name_ = options.GetStringValue("filename", DefaultFileName());
  append_ = options.GetBooleanValue("append", false);
  buffer_ = options.GetSizeValue("buffer", 0);
  max_size_ = options.GetSizeValue("maxsize", 0);
  rotate_ = static_cast<TLgFileRotate>(options.GetRotateValue("rotate", 0));
  max_parts_ =
      options.GetIntegerValue("maxparts", max_size_ > 0 && rotate_ == TLgFileRotate::None ? 2 : 0);
  key_ = options.GetBytesValue("key", kKeySize);
  encrypt_ = options.GetBooleanValue("encrypt", false);
  if (encrypt_) append_ = false;
  rotater_.SetMode(rotate_);
}

void TLgFileProtocol::BuildOptions(TLgConnectionsBuilder& builder) const {
  TLgProtocolBase::BuildOptions(builder);
  // "encrypt" and "key" stay out, so that no error report carries the key.
  builder.AddOption("append", append_);
  builder.AddOption("buffer", buffer_ / 1024);
  builder.AddOption("filename", std::string_view(file_name_));
  builder.AddOption("maxsize", max_size_ / 1024);
  builder.AddOption("maxparts", max_parts_);
  builder.AddOption("rotate", rotate_);
}

bool TLgFileProtocol::TimestampedNames() const {
  return rotate_ != TLgFileRotate::None || max_size_ > 0;
}

int64_t TLgFileProtocol::WriteHeader(TLgByteStream& stream, int64_t size) {
  if (size != 0) return size;
  if (stream.Write(kLgBinarySignature.data(), kLgBinarySignature.size()) !=
      kLgBinarySignature.size()) {
    throw ELogCenterError("Stream write error");
  }
  return static_cast<int64_t>(kLgBinarySignature.size());
}

void TLgFileProtocol::InternalConnect() {
  // An encrypted file stays open between the flushes of a protocol that connects per flush
  // (see InternalFlushDisconnect).
  if (file_) return;
  // Only the open that starts the output follows the "append" option. Every later one (the
  // next flush of a protocol that connects per flush, a reconnect after a failed write)
  // continues the file: starting it again would throw away what was written before. An
  // encrypted file cannot be continued (its cipher chain would restart), so it starts again.
  OpenFile(append_ || (Reopening() && !encrypt_));
}

void TLgFileProtocol::OpenFile(bool append) {
  if (encrypt_) {
    if (key_.empty()) throw ELgProtocolError("No encryption key", GetName(), BuildOptionsString());
    if (key_.size() != kKeySize) {
      throw ELgProtocolError("Invalid encryption key size", GetName(), BuildOptionsString());
    }
  }
  const bool timestamped = TimestampedNames();
  const std::string path =
      timestamped ? TLgFileHelper::GetFileName(file_name_, append, clock_()) : file_name_;
  file_ = std::make_unique<TLgFileStream>(
      path, append ? TLgCreationDisposition::OpenAlways : TLgCreationDisposition::CreateAlways,
      TLgFileAccess::Write);
  file_size_ = file_->Size();
  file_->Seek(0, TLgSeekOrigin::End);

  TLgByteStream* output = file_.get();
  if (encrypt_) {
    const TLgEncryptionVector vector = NewEncryptionVector();
    WriteEncryptedFileHeader(*file_, vector);
    cipher_ = std::make_unique<TRijndael>(key_);
    cipher_->SetMode(TCipherMode::CBC);
    cipher_->SetIV(vector.data(), vector.size());
    encrypt_stream_ = std::make_unique<TEncryptStream>(file_.get(), cipher_.get());
    output = encrypt_stream_.get();
  }
  TLgByteStream& stream = GetStream(*output);
  file_size_ = WriteHeader(stream, file_size_);
  buffered_ = std::make_unique<TLgBufferedStream>(
      &stream, buffer_ > 0 ? static_cast<size_t>(buffer_) : kDefaultBufferSize);
  buffered_bytes_ = 0;

  if (timestamped) {
    if (rotate_ != TLgFileRotate::None) {
      rotater_.Initialize(TLgFileHelper::GetFileDate(file_name_, path));
    }
    if (max_parts_ != 0) TLgFileHelper::DeleteFiles(file_name_, max_parts_);
  }
}

void TLgFileProtocol::RotateFile() {
  InternalDisconnect();
  OpenFile(false);
}

void TLgFileProtocol::InternalWritePacket(const TLgPacketPtr& packet) {
  TLgFormatter& formatter = Formatter();
  const int64_t size = CompileShared(formatter, *packet);
  if (rotate_ != TLgFileRotate::None && rotater_.Update(clock_())) RotateFile();
  if (max_size_ > 0) {
    file_size_ += size;
    if (file_size_ > max_size_) {
      RotateFile();
      if (size > max_size_) return;  // too large for any part: the new part keeps its header
      file_size_ += size;
    }
  }
  // The record reaches the buffer in one piece, so the buffer hands whole records to the file
  // and a failed write can be cut back to the last whole one (TruncateToCommitted).
  record_.Clear(record_.Bytes().size() <= kRecordKeepSize);  // a rare huge one gives it back
  formatter.Write(record_);
  const std::string& record = record_.Bytes();
  if (!record.empty() && buffered_->Write(record.data(), record.size()) != record.size()) {
    throw ELogCenterError("Stream write error");
  }
  if (buffer_ > 0) {
    buffered_bytes_ += size;
    if (buffered_bytes_ > buffer_) {
      buffered_bytes_ = 0;
      buffered_->Flush();
    }
  } else {
    buffered_->Flush();
  }
}

void TLgFileProtocol::InternalFlushDisconnect() {
  if (encrypt_ && file_) {
    // An encrypted file cannot be continued by a later open (its cipher chain would restart),
    // so between flushes it is only flushed, and closed at the real disconnect.
    if (buffered_) buffered_->Flush();
    return;
  }
  InternalDisconnect();
}

void TLgFileProtocol::InternalDisconnect() {
  std::exception_ptr first_error;
  if (buffered_) {
    try {
      WriteFooter(*buffered_);
      buffered_->Flush();
    } catch (...) {
      first_error = std::current_exception();
      buffered_->Discard();
    }
    buffered_.reset();
  }
  if (encrypt_stream_) {
    try {
      encrypt_stream_->Finish();
    } catch (...) {
      if (!first_error) first_error = std::current_exception();
    }
    encrypt_stream_.reset();
  }
  cipher_.reset();
  if (file_ && !encrypt_) {
    // A write that failed half-way (a full disk, the file size limit) left a torn record at
    // the end: cut it off, so that a later open continues after the last whole record.
    try {
      file_->TruncateToCommitted();
    } catch (...) {
      if (!first_error) first_error = std::current_exception();
    }
  }
  file_.reset();
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace parlevo::logging
