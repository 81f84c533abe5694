// Packets, the unit of logging data: the log entry every logged item becomes, the process-flow
// marker of method enter and leave, their kinds and names, and the viewer contexts that build the
// data block a log entry carries.
//
// Ownership: packets are held through std::shared_ptr (TLgPacketPtr); every holder (the session
// while sending, a backlog queue, an asynchronous worker queue) keeps one reference, and
// RefCount() shows how many there are. A new packet has one.
//
// Thread safety: a packet is filled by one thread. Once the core marks it thread-safe
// (SetThreadSafe), every protocol formats it between Lock() and Unlock(). Viewer contexts are not
// thread-safe; one thread builds a context.
#pragma once

#include <cstdint>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "logging/lg_containers.h"
#include "logging/lg_level.h"
#include "platform/datetime.h"

namespace parlevo::logging {

enum class TLgPacketType : uint8_t {
  LogEntry = 0,
  ControlCommand = 1,  // never created by this system
  Watch = 2,           // never created by this system
  ProcessFlow = 3,
  LogHeader = 4,
};

enum class TLgLogEntryType : uint8_t {
  Separator,
  EnterMethod,
  LeaveMethod,
  ResetCallstack,
  Message,
  Warning,
  Error,
  InternalError,
  Comment,
  VariableValue,
  Checkpoint,
  Debug,
  Verbose,
  Fatal,
  Conditional,
  Assert,
  Text,
  Binary,
  Graphic,
  Source,
  Object,
  WebContent,
  System,
  MemoryStatistic,
  DatabaseResult,
  DatabaseStructure,
};

enum class TLgViewerId : uint8_t {
  None,
  Title,
  Data,
  List,
  ValueList,
  Inspector,
  Table,
  Web,
  Binary,
  HtmlSource,
  JavaScriptSource,
  VbScriptSource,
  PerlSource,
  SqlSource,
  IniSource,
  PythonSource,
  XmlSource,
  Bitmap,
  Jpeg,
  Icon,
  Metafile,
};

enum class TLgProcessFlowType : uint8_t {
  EnterMethod,
  LeaveMethod,
  EnterThread,
  LeaveThread,
  EnterProcess,
  LeaveProcess,
};

// The colour value that means "no colour of its own" (the window background).
inline constexpr uint32_t kLgDefaultColor = 0xFF000005;

// "Debug" ... "Fatal", "Unknown": the names the text output shows.
std::string_view LevelName(TLgLevel level);
// "debug" ... "fatal": the words configuration files and options use; empty for Unknown.
std::string_view LevelKeyword(TLgLevel level);
// The level of a keyword (trimmed, any case); nullopt for any other word.
std::optional<TLgLevel> LevelFromKeyword(std::string_view word);

std::string_view LogEntryTypeName(TLgLogEntryType type);
std::string_view ViewerIdName(TLgViewerId id);
// The numbers the binary log format writes.
int32_t LogEntryTypeCode(TLgLogEntryType type);
int32_t ViewerIdCode(TLgViewerId id);
uint16_t PacketTypeCode(TLgPacketType type);

// Ids of the calling thread and process, as stamped into packets.
uint32_t CurrentThreadId();
uint32_t CurrentProcessId();

class TLgPacket {
 public:
  virtual ~TLgPacket() = default;
  TLgPacket(const TLgPacket&) = delete;
  TLgPacket& operator=(const TLgPacket&) = delete;

  // Estimated size in bytes, for queue accounting.
  virtual int64_t Size() const = 0;
  virtual TLgPacketType PacketType() const = 0;

  TLgLevel Level() const { return level_; }
  void SetLevel(TLgLevel level) { level_ = level; }

  bool ThreadSafe() const { return lock_ != nullptr; }
  // True creates the packet's lock (once), false removes it. Not to be called while another
  // thread may be inside Lock().
  void SetThreadSafe(bool value);
  // No-ops while the packet is not thread-safe.
  void Lock();
  void Unlock();

 protected:
  TLgPacket() = default;

 private:
  TLgLevel level_ = TLgLevel::Message;
  std::unique_ptr<std::mutex> lock_;
};

using TLgPacketPtr = std::shared_ptr<TLgPacket>;

// Number of holders of a packet.
template <typename P>
long RefCount(const std::shared_ptr<P>& packet) {
  return packet.use_count();
}

// One logged item.
class TLgLogEntry : public TLgPacket {
 public:
  // Stamps the calling thread and process.
  TLgLogEntry(TLgLogEntryType type, TLgViewerId viewer);

  int64_t Size() const override;
  TLgPacketType PacketType() const override { return TLgPacketType::LogEntry; }

  TLgLogEntryType LogEntryType() const { return log_entry_type_; }
  TLgViewerId ViewerId() const { return viewer_id_; }
  TDateTime Timestamp() const { return timestamp_; }
  void SetTimestamp(TDateTime value) { timestamp_ = value; }
  const std::string& AppName() const { return app_name_; }
  void SetAppName(std::string value) { app_name_ = std::move(value); }
  const std::string& HostName() const { return host_name_; }
  void SetHostName(std::string value) { host_name_ = std::move(value); }
  const std::string& SessionName() const { return session_name_; }
  void SetSessionName(std::string value) { session_name_ = std::move(value); }
  const std::string& Title() const { return title_; }
  void SetTitle(std::string value) { title_ = std::move(value); }
  uint32_t Color() const { return color_; }
  void SetColor(uint32_t value) { color_ = value; }
  uint32_t ThreadId() const { return thread_id_; }
  uint32_t ProcessId() const { return process_id_; }

  // The data block: SetData copies the bytes, ClearData empties an existing block.
  void SetData(std::string_view bytes);
  void ClearData();
  bool HasData() const { return data_ && !data_->empty(); }
  std::string_view Data() const { return data_ ? std::string_view(*data_) : std::string_view(); }

 private:
  TLgLogEntryType log_entry_type_;
  TLgViewerId viewer_id_;
  TDateTime timestamp_ = 0;
  std::string app_name_;
  std::string host_name_;
  std::string session_name_;
  std::string title_;
  uint32_t color_ = kLgDefaultColor;
  std::optional<std::string> data_;
  uint32_t thread_id_;
  uint32_t process_id_;
};

// Method enter and leave marker for the call-stack view.
class TLgProcessFlow : public TLgPacket {
 public:
  // Stamps the calling thread and process.
  explicit TLgProcessFlow(TLgProcessFlowType type);

  int64_t Size() const override;
  TLgPacketType PacketType() const override { return TLgPacketType::ProcessFlow; }

  TLgProcessFlowType ProcessFlowType() const { return process_flow_type_; }
  const std::string& HostName() const { return host_name_; }
  void SetHostName(std::string value) { host_name_ = std::move(value); }
  const std::string& Title() const { return title_; }
  void SetTitle(std::string value) { title_ = std::move(value); }
  TDateTime Timestamp() const { return timestamp_; }
  void SetTimestamp(TDateTime value) { timestamp_ = value; }
  uint32_t ThreadId() const { return thread_id_; }
  uint32_t ProcessId() const { return process_id_; }

 private:
  TLgProcessFlowType process_flow_type_;
  std::string host_name_;
  std::string title_;
  TDateTime timestamp_ = 0;
  uint32_t thread_id_;
  uint32_t process_id_;
};

// Builds the data block of a log entry; the entry copies the block, the context keeps its own.
class TLgViewerContext {
 public:
  explicit TLgViewerContext(TLgViewerId id) : viewer_id_(id) {}
  virtual ~TLgViewerContext() = default;
  TLgViewerContext(const TLgViewerContext&) = delete;
  TLgViewerContext& operator=(const TLgViewerContext&) = delete;

  TLgViewerId ViewerId() const { return viewer_id_; }
  // The data block built so far; owned by the context.
  virtual const std::string& ViewerData() = 0;

 private:
  TLgViewerId viewer_id_;
};

// A data block of raw bytes.
class TLgBinaryContext : public TLgViewerContext {
 public:
  explicit TLgBinaryContext(TLgViewerId id) : TLgViewerContext(id) {}

  // Replaces the bytes by the whole stream and puts the stream's position back. A null stream
  // raises ELogCenterError "AStream argument is not assigned".
  void LoadFromStream(std::istream* stream);
  // Replaces the bytes by those of an existing file; raises ELogCenterError with the system's
  // message when it cannot be read.
  void LoadFromFile(const std::string& file_name);
  void ResetData() { data_.clear(); }
  const std::string& ViewerData() override { return data_; }

 private:
  std::string data_;
};

// Replaces every run of CR and LF by one blank and puts "\" before each character of the
// escape set.
std::string EscapeText(std::string_view text, std::string_view escape_set);

// A data block of text, sent as UTF-8 with a byte-order mark.
class TLgTextContext : public TLgViewerContext {
 public:
  explicit TLgTextContext(TLgViewerId id) : TLgViewerContext(id), builder_(256) {}

  void AppendText(std::string_view text) { builder_.Append(text); }
  // The escaped line, then CR LF.
  void AppendLine(std::string_view line);
  void LoadFromText(std::string_view text);
  void ResetData() { builder_.Clear(); }
  const std::string& ViewerData() override;

 protected:
  virtual std::string EscapeLine(std::string_view line) const { return std::string(line); }

 private:
  TLgStringBuilder builder_;
  std::string data_;
};

// One item per line; line breaks inside an item become blanks.
class TLgListViewerContext : public TLgTextContext {
 public:
  TLgListViewerContext() : TLgTextContext(TLgViewerId::List) {}

 protected:
  explicit TLgListViewerContext(TLgViewerId id) : TLgTextContext(id) {}
  std::string EscapeLine(std::string_view line) const override { return EscapeText(line, ""); }
};

// name=value lines.
class TLgValueListViewerContext : public TLgListViewerContext {
 public:
  TLgValueListViewerContext() : TLgListViewerContext(TLgViewerId::ValueList) {}
  virtual std::string EscapeItem(std::string_view item) const { return EscapeText(item, "\\="); }

 protected:
  explicit TLgValueListViewerContext(TLgViewerId id) : TLgListViewerContext(id) {}
};

// Grouped name=value lines ("[group]" headers), as the object inspector shows them.
class TLgInspectorViewerContext : public TLgValueListViewerContext {
 public:
  TLgInspectorViewerContext() : TLgValueListViewerContext(TLgViewerId::Inspector) {}
  std::string EscapeItem(std::string_view item) const override { return EscapeText(item, "\\=[]"); }
  void StartGroup(std::string_view group);
};

}  // namespace parlevo::logging
