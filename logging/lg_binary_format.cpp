#include "logging/lg_binary_format.h"

#include <bit>
#include <cstring>

#include "logging/lg_exceptions.h"
#include "logging/lg_text.h"

namespace parlevo::logging {
namespace {

static_assert(std::endian::native == std::endian::little,
              "the binary log format is written in the machine's own little-endian order");

constexpr size_t kBodyReleaseSize = 1048576;

void Put32(uint8_t* at, uint32_t value) {
  std::memcpy(at, &value, 4);
}

void PutDouble(uint8_t* at, double value) {
  std::memcpy(at, &value, 8);
}

void WriteAll(TLgByteStream& stream, const void* data, size_t count) {
  if (count > 0 && stream.Write(data, count) != count) throw ELogCenterError("Stream write error");
}

void CompileLogEntry(const TLgLogEntry& entry, TLgMemoryStream& body) {
  const std::string_view data = entry.Data();
  uint8_t fixed[48];
  Put32(fixed + 0, static_cast<uint32_t>(LogEntryTypeCode(entry.LogEntryType())));
  Put32(fixed + 4, static_cast<uint32_t>(ViewerIdCode(entry.ViewerId())));
  Put32(fixed + 8, static_cast<uint32_t>(entry.AppName().size()));
  Put32(fixed + 12, static_cast<uint32_t>(entry.SessionName().size()));
  Put32(fixed + 16, static_cast<uint32_t>(entry.Title().size()));
  Put32(fixed + 20, static_cast<uint32_t>(entry.HostName().size()));
  Put32(fixed + 24, static_cast<uint32_t>(data.size()));
  Put32(fixed + 28, entry.ProcessId());
  Put32(fixed + 32, entry.ThreadId());
  PutDouble(fixed + 36, entry.Timestamp());
  Put32(fixed + 44, entry.Color());
  body.Write(fixed, sizeof fixed);
  body.Write(entry.AppName().data(), entry.AppName().size());
  body.Write(entry.SessionName().data(), entry.SessionName().size());
  body.Write(entry.Title().data(), entry.Title().size());
  body.Write(entry.HostName().data(), entry.HostName().size());
  body.Write(data.data(), data.size());
}

void CompileProcessFlow(const TLgProcessFlow& flow, TLgMemoryStream& body) {
  uint8_t fixed[28];
  Put32(fixed + 0, static_cast<uint32_t>(flow.ProcessFlowType()));
  Put32(fixed + 4, static_cast<uint32_t>(flow.Title().size()));
  Put32(fixed + 8, static_cast<uint32_t>(flow.HostName().size()));
  Put32(fixed + 12, flow.ProcessId());
  Put32(fixed + 16, flow.ThreadId());
  PutDouble(fixed + 20, flow.Timestamp());
  body.Write(fixed, sizeof fixed);
  body.Write(flow.Title().data(), flow.Title().size());
  body.Write(flow.HostName().data(), flow.HostName().size());
}

void CompileLogHeader(const TLgLogHeader& header, TLgMemoryStream& body) {
  const std::string content = header.Content();
  uint8_t fixed[4];
  Put32(fixed, static_cast<uint32_t>(content.size()));
  body.Write(fixed, sizeof fixed);
  body.Write(content.data(), content.size());
}

}  // namespace

TLgLogHeader::TLgLogHeader(std::string host_name, std::string app_name)
    : host_name_(std::move(host_name)), app_name_(std::move(app_name)) {}

std::string TLgLogHeader::Content() const {
  return "hostname=" + host_name_ + "\r\nappname=" + app_name_ + "\r\n";
}

int64_t TLgLogHeader::Size() const {
  return static_cast<int64_t>(Utf16Length(Content())) + 4;
}

int64_t TLgBinaryFormatter::Compile(const TLgPacket& packet) {
  body_.Clear(body_size_ <= kBodyReleaseSize);
  type_code_ = PacketTypeCode(packet.PacketType());
  switch (packet.PacketType()) {
    case TLgPacketType::LogEntry:
      CompileLogEntry(static_cast<const TLgLogEntry&>(packet), body_);
      break;
    case TLgPacketType::ProcessFlow:
      CompileProcessFlow(static_cast<const TLgProcessFlow&>(packet), body_);
      break;
    case TLgPacketType::LogHeader:
      CompileLogHeader(static_cast<const TLgLogHeader&>(packet), body_);
      break;
    case TLgPacketType::ControlCommand:
    case TLgPacketType::Watch:
      break;  // this system produces neither
  }
  body_size_ = body_.Bytes().size();
  return static_cast<int64_t>(body_size_ + kLgPacketFrameSize);
}

void TLgBinaryFormatter::Write(TLgByteStream& stream) {
  if (body_size_ == 0) return;
  uint8_t frame[kLgPacketFrameSize];
  std::memcpy(frame, &type_code_, 2);
  Put32(frame + 2, static_cast<uint32_t>(body_size_));
  WriteAll(stream, frame, sizeof frame);
  WriteAll(stream, body_.Bytes().data(), body_size_);
}

}  // namespace parlevo::logging
