#include "service/helpers.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/datetime.h"

namespace parlevo {
namespace {

std::mutex g_folder_mutex;

std::string& FolderSlot() {
  static std::string folder;
  return folder;
}

std::string RunningExecutableFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return "./";
  std::string folder = exe.parent_path().string();
  if (folder.empty() || folder.back() != '/') folder.push_back('/');
  return folder;
}

// Appends the message to the line begun with its time stamp, cut so that the line with its
// CR LF stays within kDebugLogLineLimit.
void AppendCutToLine(std::string& line, std::string_view message) {
  constexpr size_t kLineEnd = 2;
  if (line.size() + message.size() + kLineEnd <= kDebugLogLineLimit) {
    line.append(message);
    return;
  }
  const std::string mark = std::string(kDebugLogCutMark) + std::to_string(message.size()) + "]";
  const size_t room =
      kDebugLogLineLimit - std::min(kDebugLogLineLimit, line.size() + mark.size() + kLineEnd);
  size_t keep = std::min(room, message.size());
  // Never half a character: back up over UTF-8 continuation bytes to a character's start.
  while (keep > 0 && (static_cast<unsigned char>(message[keep]) & 0xC0) == 0x80) --keep;
  line.append(message.substr(0, keep));
  line.append(mark);
}

// The line's time stamp shows whole seconds, and every request writes lines: a thread formats
// it once per second it sees and reuses the text.
const std::string& DebugLogStamp(TDateTime now) {
  thread_local std::optional<CivilDateTime> shown;
  thread_local std::string stamp;
  CivilDateTime second = DecodeDateTime(now);
  second.millisecond = 0;
  if (second != shown) {
    FormatSettings fs;  // fixed English names, independent of the process-wide formats
    stamp = FormatDateTime("ddd d. mmm. yyyy, hh:mm:ss: ", now, fs);
    shown = second;
  }
  return stamp;
}

}  // namespace

std::string ExeFolder() {
  std::lock_guard lock(g_folder_mutex);
  std::string& folder = FolderSlot();
  if (folder.empty()) folder = RunningExecutableFolder();
  return folder;
}

void SetExeFolder(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder.push_back('/');
  std::lock_guard lock(g_folder_mutex);
  FolderSlot() = std::move(folder);
}

void WriteDebugLog(std::string_view message) {
  try {
    // ExeFolder() ends with its separator. Plain text joins: path objects cost more than the write.
    const std::string dir = ExeFolder() + "debug";
    const std::string path = dir + "/log.txt";

    std::string line = DebugLogStamp(Now());
    AppendCutToLine(line, message);
    line.append("\r\n");

    constexpr int kFlags = O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC;
    int fd = ::open(path.c_str(), kFlags, 0644);
    if (fd < 0 && errno == ENOENT) {
      // The folder is made on first use only: every request writes lines here.
      std::error_code ec;
      std::filesystem::create_directories(dir, ec);
      fd = ::open(path.c_str(), kFlags, 0644);
    }
    if (fd < 0) return;
    // One write per line: O_APPEND keeps lines of concurrent writers whole.
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    ::close(fd);
  } catch (...) {
    // The debug log is a trace only; losing a line is better than failing the caller.
  }
}

std::string GetAppVersion() {
#ifdef PARLEVO_VERSION
  return PARLEVO_VERSION;
#else
  return "";
#endif
}

std::string GetToken(std::string_view source, std::string_view delimiter, int index) {
  std::string_view rest = source;
  const char delim = delimiter.empty() ? '\0' : delimiter.front();
  for (int i = 1; i < index; ++i) {
    const size_t pos = rest.find(delim);
    if (pos == std::string_view::npos) break;
    rest.remove_prefix(pos + 1);
  }
  const size_t pos = rest.find(delim);
  return std::string(pos == std::string_view::npos ? rest : rest.substr(0, pos));
}

}  // namespace parlevo
