#include "logging/lg_packets.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>

#include "logging/lg_exceptions.h"
#include "logging/lg_text.h"

namespace parlevo::logging {
namespace {

constexpr std::array<std::string_view, 7> kLevelNames = {"Debug", "Verbose", "Message", "Warning",
                                                         "Error", "Fatal",   "Unknown"};
constexpr std::array<std::string_view, 6> kLevelKeywords = {"debug",   "verbose", "message",
                                                            "warning", "error",   "fatal"};

constexpr std::array<std::string_view, 26> kLogEntryTypeNames = {
    "Separator",        "EnterMethod", "LeaveMethod",   "ResetCallstack",  "Message",
    "Warning",          "Error",       "InternalError", "Comment",         "VariableValue",
    "Checkpoint",       "Debug",       "Verbose",       "Fatal",           "Conditional",
    "Assert",           "Text",        "Binary",        "Graphic",         "Source",
    "Object",           "WebContent",  "System",        "MemoryStatistic", "DatabaseResult",
    "DatabaseStructure"};

constexpr std::array<std::string_view, 21> kViewerIdNames = {
    "None",       "Title",     "Data",      "List",         "ValueList",        "Inspector",
    "Table",      "Web",       "Binary",    "HtmlSource",   "JavaScriptSource", "VbScriptSource",
    "PerlSource", "SqlSource", "IniSource", "PythonSource", "XmlSource",        "Bitmap",
    "Jpeg",       "Icon",      "Metafile"};

}  // namespace

std::string_view LevelName(TLgLevel level) {
  const auto i = static_cast<size_t>(level);
  return i < kLevelNames.size() ? kLevelNames[i] : kLevelNames.back();
}

std::string_view LevelKeyword(TLgLevel level) {
  const auto i = static_cast<size_t>(level);
  return i < kLevelKeywords.size() ? kLevelKeywords[i] : std::string_view();
}

std::optional<TLgLevel> LevelFromKeyword(std::string_view word) {
  const std::string lower = LowerCaseText(TrimText(word));
  for (size_t i = 0; i < kLevelKeywords.size(); ++i) {
    if (lower == kLevelKeywords[i]) return static_cast<TLgLevel>(i);
  }
  return std::nullopt;
}

std::string_view LogEntryTypeName(TLgLogEntryType type) {
  return kLogEntryTypeNames.at(static_cast<size_t>(type));
}
std::string_view ViewerIdName(TLgViewerId id) {
  return kViewerIdNames.at(static_cast<size_t>(id));
}

int32_t LogEntryTypeCode(TLgLogEntryType type) {
  const int32_t ordinal = static_cast<int32_t>(type);
  if (ordinal <= 3) return ordinal;
  if (ordinal <= 15) return ordinal - 4 + 100;
  return ordinal - 16 + 200;
}

int32_t ViewerIdCode(TLgViewerId id) {
  const int32_t ordinal = static_cast<int32_t>(id);
  if (ordinal == 0) return -1;
  if (ordinal <= 6) return ordinal - 1;
  if (ordinal == 7) return 100;
  if (ordinal == 8) return 200;
  if (ordinal <= 16) return ordinal - 9 + 300;
  return ordinal - 17 + 400;
}

uint16_t PacketTypeCode(TLgPacketType type) {
  static constexpr std::array<uint16_t, 5> kCodes = {4, 1, 5, 6, 7};
  return kCodes.at(static_cast<size_t>(type));
}

namespace {

// Every packet is stamped with both ids; asking the kernel each time costs more than building
// the rest of a packet. The cached values are dropped in a child process after fork.
std::atomic<uint32_t> fork_generation{1};

void ForgetIdsAfterFork() {
  fork_generation.fetch_add(1, std::memory_order_relaxed);
}

const bool fork_handler_installed = [] {
  return ::pthread_atfork(nullptr, nullptr, ForgetIdsAfterFork) == 0;
}();

}  // namespace

uint32_t CurrentThreadId() {
  thread_local uint32_t generation = 0;
  thread_local uint32_t id = 0;
  const uint32_t current = fork_generation.load(std::memory_order_relaxed);
  if (generation != current) {
    id = static_cast<uint32_t>(::syscall(SYS_gettid));
    generation = current;
  }
  return id;
}

uint32_t CurrentProcessId() {
  static std::atomic<uint64_t> cached{0};  // generation in the high half, pid in the low one
  const uint32_t current = fork_generation.load(std::memory_order_relaxed);
  uint64_t value = cached.load(std::memory_order_relaxed);
  if (static_cast<uint32_t>(value >> 32) != current) {
    value = (static_cast<uint64_t>(current) << 32) | static_cast<uint32_t>(::getpid());
    cached.store(value, std::memory_order_relaxed);
  }
  (void)fork_handler_installed;
  return static_cast<uint32_t>(value);
}

void TLgPacket::SetThreadSafe(bool value) {
  if (value == ThreadSafe()) return;
  if (value) {
    lock_ = std::make_unique<std::mutex>();
  } else {
    lock_.reset();
  }
}

void TLgPacket::Lock() {
  if (lock_) lock_->lock();
}

void TLgPacket::Unlock() {
  if (lock_) lock_->unlock();
}

TLgLogEntry::TLgLogEntry(TLgLogEntryType type, TLgViewerId viewer)
    : log_entry_type_(type),
      viewer_id_(viewer),
      thread_id_(CurrentThreadId()),
      process_id_(CurrentProcessId()) {}

int64_t TLgLogEntry::Size() const {
  return 48 +
         static_cast<int64_t>(Utf16Length(app_name_) + Utf16Length(host_name_) +
                              Utf16Length(session_name_) + Utf16Length(title_)) +
         static_cast<int64_t>(data_ ? data_->size() : 0);
}

void TLgLogEntry::SetData(std::string_view bytes) {
  if (!data_) data_.emplace();
  data_->assign(bytes);
}

void TLgLogEntry::ClearData() {
  if (data_) data_->clear();
}

TLgProcessFlow::TLgProcessFlow(TLgProcessFlowType type)
    : process_flow_type_(type), thread_id_(CurrentThreadId()), process_id_(CurrentProcessId()) {}

int64_t TLgProcessFlow::Size() const {
  return 28 + static_cast<int64_t>(Utf16Length(title_) + Utf16Length(host_name_));
}

void TLgBinaryContext::LoadFromStream(std::istream* stream) {
  if (stream == nullptr) throw ELogCenterError("AStream argument is not assigned");
  const std::istream::pos_type position = stream->tellg();
  stream->clear();
  stream->seekg(0, std::ios::beg);
  data_.assign(std::istreambuf_iterator<char>(*stream), std::istreambuf_iterator<char>());
  const bool failed = stream->bad();
  stream->clear();
  if (position != std::istream::pos_type(-1)) stream->seekg(position);
  if (failed) throw ELogCenterError("Stream read error");
}

void TLgBinaryContext::LoadFromFile(const std::string& file_name) {
  std::ifstream file(file_name, std::ios::binary);
  if (!file) throw ELogCenterError(std::strerror(errno));
  LoadFromStream(&file);
}

std::string EscapeText(std::string_view text, std::string_view escape_set) {
  std::string result;
  result.reserve(text.size());
  char previous = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n') {
      if (previous != '\r' && previous != '\n') result += ' ';
    } else if (escape_set.find(c) != std::string_view::npos) {
      result += '\\';
      result += c;
    } else {
      result += c;
    }
    previous = c;
  }
  return result;
}

void TLgTextContext::AppendLine(std::string_view line) {
  builder_.Append(EscapeLine(line));
  builder_.Append("\r\n");
}

void TLgTextContext::LoadFromText(std::string_view text) {
  ResetData();
  AppendText(text);
}

const std::string& TLgTextContext::ViewerData() {
  data_.assign("\xEF\xBB\xBF");
  data_.append(builder_.Text());
  return data_;
}

void TLgInspectorViewerContext::StartGroup(std::string_view group) {
  AppendText("[");
  AppendText(EscapeItem(group));
  AppendText("]\r\n");
}

}  // namespace parlevo::logging
