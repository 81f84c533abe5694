#include "logging/lg_pipe_protocol.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "logging/lg_exceptions.h"
#include "logging/lg_platform.h"

namespace parlevo::logging {
namespace {

constexpr size_t kBufferSize = 8192;
constexpr const char* kClosedMessage = "Pipe connection has been unexpectedly closed";

// The id of a group name; raises when there is no such group.
gid_t GroupId(const std::string& name) {
  std::vector<char> buffer(16384);
  group entry{};
  group* found = nullptr;
  const int error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
  if (error != 0) throw ELogCenterError(LgSysErrorMessage(error));
  if (found == nullptr) throw ELogCenterError("No group \"" + name + "\"");
  return found->gr_gid;
}

// True when the user belongs to the group (as primary or supplementary group).
bool UserInGroup(uid_t uid, gid_t gid) {
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  if (found->pw_gid == gid) return true;
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));
    if (::getgrouplist(found->pw_name, found->pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<size_t>(count));
  return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

}  // namespace

std::string LgPipeFolder() {
  if (const char* runtime = std::getenv("RUNTIME_DIRECTORY"); runtime != nullptr && *runtime) {
    const std::string folders(runtime);
    return folders.substr(0, folders.find(':'));
  }
  return "/tmp/logcenter-" + std::to_string(::geteuid());
}

std::string LgPipePath(const std::string& pipe_name) {
  return LgPipeFolder() + "/" + pipe_name;
}

TLgPipeProtocol::TLgPipeProtocol() {
  TLgPipeProtocol::LoadOptions();
}

bool TLgPipeProtocol::IsValidOption(std::string_view name) const {
  return name == "pipename" || name == "group" || TLgProtocolBase::IsValidOption(name);
}

void TLgPipeProtocol::LoadOptions() {
  TLgProtocolBase::LoadOptions();
  pipe_name_ = Options().GetStringValue("pipename", "logcenter");
  group_ = Options().GetStringValue("group", "");
}

void TLgPipeProtocol::BuildOptions(TLgConnectionsBuilder& builder) const {
  TLgProtocolBase::BuildOptions(builder);
  builder.AddOption("pipename", std::string_view(pipe_name_));
  if (!group_.empty()) builder.AddOption("group", std::string_view(group_));
}

void TLgPipeProtocol::PrepareFolder(const std::string& folder) const {
  const uid_t self = ::geteuid();
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    throw ELogCenterError("Pipe folder " + folder + ": " + LgSysErrorMessage(errno));
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0) {
    throw ELogCenterError("Pipe folder " + folder + ": " + LgSysErrorMessage(errno));
  }
  // Another user may have made the folder first (in /tmp anyone can): sockets in it could be
  // anyone's, so nothing is sent there.
  if (!S_ISDIR(st.st_mode) || st.st_uid != self) {
    throw ELogCenterError("Pipe folder " + folder + " is not a folder of the service's user");
  }
  mode_t wanted = 0700;
  if (!group_.empty()) {
    // Members of the group must be able to create their viewer's socket in the folder.
    const gid_t gid = GroupId(group_);
    if (st.st_gid != gid && ::chown(folder.c_str(), static_cast<uid_t>(-1), gid) != 0) {
      throw ELogCenterError("Pipe folder " + folder + ": " + LgSysErrorMessage(errno));
    }
    wanted = 0770;
  }
  if ((st.st_mode & 07777) != wanted && ::chmod(folder.c_str(), wanted) != 0) {
    throw ELogCenterError("Pipe folder " + folder + ": " + LgSysErrorMessage(errno));
  }
}

void TLgPipeProtocol::CheckViewer(int fd) const {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
    throw ELogCenterError(LgSysErrorMessage(errno));
  }
  if (peer.uid == ::geteuid() || peer.uid == 0) return;
  if (!group_.empty()) {
    const gid_t gid = GroupId(group_);
    if (peer.gid == gid || UserInGroup(peer.uid, gid)) return;
  }
  throw ELogCenterError("Viewer of user " + std::to_string(peer.uid) + " refused on pipe \"" +
                        pipe_name_ + "\"");
}

bool TLgPipeProtocol::OpenPipe(bool raise_when_absent) {
  RequireNotAbandoned();
  if (pipe_name_.empty() || pipe_name_ == "." || pipe_name_ == ".." ||
      pipe_name_.find('/') != std::string::npos) {
    throw ELogCenterError("Invalid pipe name: \"" + pipe_name_ + "\"");
  }
  const std::string folder = LgPipeFolder();
  PrepareFolder(folder);
  const std::string path = folder + "/" + pipe_name_;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    throw ELogCenterError("Pipe name too long: \"" + pipe_name_ + "\"");
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);

  // Non-blocking connect: a viewer whose accept queue is full must not hold up the caller.
  TLgFileHandle socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!socket.Valid()) throw ELogCenterError(LgSysErrorMessage(errno));
  const int fd = socket.Get();
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    if (!raise_when_absent) return false;
    throw ELogCenterError(LgSysErrorMessage(error));
  }
  CheckViewer(fd);  // before a byte goes out
  stream_ = std::make_unique<TLgSocketStream>(std::move(socket), io_timeout_, &WaitLimit());
  stream_->ReadLine(kClosedMessage);
  std::string greeting(kLgClientGreeting);
  greeting += '\n';
  stream_->Write(greeting.data(), greeting.size());
  buffered_ = std::make_unique<TLgBufferedStream>(stream_.get(), kBufferSize);
  WriteLogHeader();
  return true;
}

void TLgPipeProtocol::InternalConnect() {
  OpenPipe(true);
}

bool TLgPipeProtocol::InternalReconnect() {
  return OpenPipe(false);
}

void TLgPipeProtocol::InternalDisconnect() {
  std::exception_ptr first_error;
  if (buffered_) {
    try {
      buffered_->Flush();
    } catch (...) {
      first_error = std::current_exception();
      buffered_->Discard();
    }
    buffered_.reset();
  }
  if (stream_) {
    stream_->Close();
    stream_.reset();
  }
  if (first_error) std::rethrow_exception(first_error);
}

void TLgPipeProtocol::InternalWritePacket(const TLgPacketPtr& packet) {
  CompileShared(formatter_, *packet);
  formatter_.Write(*buffered_);
  buffered_->Flush();
}

}  // namespace parlevo::logging
