#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>

namespace parlevo {
namespace {

constexpr std::string_view kRootKey = "HKEY_LOCAL_MACHINE";

struct ProcessRegistryPath {
  std::mutex mutex;
  std::filesystem::path path;
};

ProcessRegistryPath& RegistryPathSetting() {
  static ProcessRegistryPath setting;
  return setting;
}

// Serialises the writers of this process; the flock below serialises processes. flock alone would
// do for threads too (each write opens its own descriptor), the mutex keeps them off the lock file.
std::mutex& ProcessWriteMutex() {
  static std::mutex mutex;
  return mutex;
}

[[noreturn]] void FailErrno(const std::filesystem::path& file, std::string_view what) {
  int err = errno;
  throw ERegistryException(
      fmt::format("registry file \"{}\": {}: {}", file.string(), what, std::strerror(err)));
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }
  int get() const { return fd_; }
  // Returns the result of close(2) so that a failing close of a written file is not missed.
  int Close() {
    int rc = 0;
    if (fd_ >= 0) rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

// Held for a whole read-modify-write cycle.
class WriteLock {
 public:
  explicit WriteLock(const std::filesystem::path& file)
      : mutex_lock_(ProcessWriteMutex()),
        lock_file_(std::filesystem::path(file) += ".lock"),
        fd_(::open(lock_file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (fd_.get() < 0) FailErrno(lock_file_, "cannot open the lock file");
    while (::flock(fd_.get(), LOCK_EX) != 0) {
      if (errno != EINTR) FailErrno(lock_file_, "cannot lock");
    }
  }

 private:
  std::unique_lock<std::mutex> mutex_lock_;
  std::filesystem::path lock_file_;
  FileDescriptor fd_;  // closing it releases the flock, also when the process dies
};

std::string FullKey(std::string_view key) {
  while (!key.empty() && key.front() == '\\') key.remove_prefix(1);
  while (!key.empty() && key.back() == '\\') key.remove_suffix(1);
  if (key.empty()) throw ERegistryException("registry: empty key name");
  return fmt::format("{}\\{}", kRootKey, key);
}

// Where the data really goes: the target of a symbolic link is replaced, not the link.
std::filesystem::path WriteTarget(const std::filesystem::path& file) {
  std::error_code ec;
  if (std::filesystem::is_symlink(file, ec)) {
    std::filesystem::path target = std::filesystem::weakly_canonical(file, ec);
    if (ec) {
      throw ERegistryException(fmt::format("registry file \"{}\": cannot resolve the link: {}",
                                           file.string(), ec.message()));
    }
    return target;
  }
  return file;
}

std::string TempPrefix(const std::filesystem::path& target) {
  return target.filename().string() + ".tmp.";
}

// Under the write lock every temporary file is one a killed writer left behind.
void RemoveStaleTempFiles(const std::filesystem::path& target) {
  std::error_code ec;
  const std::string prefix = TempPrefix(target);
  std::filesystem::path dir = target.parent_path();
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    if (entry.path().filename().string().rfind(prefix, 0) == 0) {
      std::filesystem::remove(entry.path(), ec);
    }
  }
}

void ReplaceFileAtomically(const std::filesystem::path& file, std::string_view content) {
  const std::filesystem::path target = WriteTarget(file);
  const std::filesystem::path dir = target.parent_path();
  RemoveStaleTempFiles(target);

  // The file holds the mail server password: new files are for the owner only, an existing
  // file keeps the permissions it was given.
  mode_t mode = 0600;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) mode = st.st_mode & 07777;

  std::string temp_name = (dir / TempPrefix(target)).string() + "XXXXXX";
  FileDescriptor fd(::mkostemp(temp_name.data(), O_CLOEXEC));
  if (fd.get() < 0) FailErrno(target, "cannot create a temporary file beside it");
  const std::filesystem::path temp_path = temp_name;
  auto fail = [&](std::string_view what) {
    int err = errno;
    fd.Close();
    ::unlink(temp_path.c_str());
    errno = err;
    FailErrno(target, what);
  };
  if (::fchmod(fd.get(), mode) != 0) fail("cannot set the permissions of the temporary file");
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write the temporary file");
    }
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd.get()) != 0) fail("cannot flush the temporary file");
  if (fd.Close() != 0) fail("cannot close the temporary file");
  if (::rename(temp_path.c_str(), target.c_str()) != 0) fail("cannot replace the file");
  FileDescriptor dir_fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir_fd.get() < 0 || ::fsync(dir_fd.get()) != 0) {
    FailErrno(target, "cannot flush the folder after replacing the file");
  }
}

}  // namespace

void SetRegistryFilePath(const std::filesystem::path& path) {
  ProcessRegistryPath& setting = RegistryPathSetting();
  std::lock_guard lock(setting.mutex);
  setting.path = std::filesystem::absolute(path);
}

std::filesystem::path RegistryFilePath() {
  ProcessRegistryPath& setting = RegistryPathSetting();
  std::lock_guard lock(setting.mutex);
  if (setting.path.empty()) {
    throw ERegistryException("registry: the path of the configuration file has not been set");
  }
  return setting.path;
}

std::filesystem::path ResolveRegistryFilePath(const std::optional<std::filesystem::path>& option,
                                              const std::filesystem::path& home) {
  if (option && !option->empty()) return std::filesystem::absolute(*option);
  const char* env = std::getenv(std::string(kRegistryFileEnvVar).c_str());
  if (env != nullptr && *env != '\0') return std::filesystem::absolute(env);
  return std::filesystem::absolute(home / kRegistryDefaultFileName);
}

bool TRegistry::FileSignature::operator==(const FileSignature& o) const {
  return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
         mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
         ctime.tv_nsec == o.ctime.tv_nsec;
}

TRegistry::TRegistry() : TRegistry(RegistryFilePath()) {}

TRegistry::TRegistry(std::filesystem::path file) : file_(std::move(file)) {}

namespace {
std::mutex& SnapshotCacheMutex() {
  static std::mutex mutex;
  return mutex;
}
}  // namespace

std::unordered_map<std::string, std::shared_ptr<const TRegistry::Snapshot>>&
TRegistry::SnapshotCache() {
  static std::unordered_map<std::string, std::shared_ptr<const Snapshot>> cache;
  return cache;
}

std::shared_ptr<const TRegistry::Snapshot> TRegistry::SharedSnapshot(
    const std::filesystem::path& file) {
  std::lock_guard lock(SnapshotCacheMutex());
  const auto& cache = SnapshotCache();
  const auto it = cache.find(file.string());
  return it == cache.end() ? nullptr : it->second;
}

void TRegistry::ShareSnapshot(const std::filesystem::path& file,
                              std::shared_ptr<const Snapshot> snapshot) {
  std::lock_guard lock(SnapshotCacheMutex());
  SnapshotCache()[file.string()] = std::move(snapshot);
}

const std::optional<TRegDocument>& TRegistry::Current() {
  auto signature_of = [](const struct stat& st) {
    return FileSignature{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
  };
  struct stat st {};
  std::optional<FileSignature> now;
  if (::stat(file_.c_str(), &st) == 0) {
    now = signature_of(st);
  } else if (errno != ENOENT) {
    FailErrno(file_, "cannot look at the file");
  }
  if (snapshot_ && snapshot_->signature == now && !snapshot_->racy) return snapshot_->document;
  if (auto shared = SharedSnapshot(file_); shared && shared->signature == now && !shared->racy) {
    snapshot_ = std::move(shared);
    return snapshot_->document;
  }

  snapshot_.reset();
  Snapshot fresh;
  FileDescriptor fd(::open(file_.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno != ENOENT) FailErrno(file_, "cannot open");
  } else {
    if (::fstat(fd.get(), &st) != 0) FailErrno(file_, "cannot look at the file");
    std::string bytes;
    char buffer[16384];
    for (;;) {
      ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
      if (n < 0) {
        if (errno == EINTR) continue;
        FailErrno(file_, "cannot read");
      }
      if (n == 0) break;
      bytes.append(buffer, static_cast<size_t>(n));
    }
    fresh.signature = signature_of(st);
    // File times move in clock ticks: an edit in the same tick as the one read would keep the
    // signature. Until the file is clearly older than this read, look at its content again.
    timespec read_time{};
    ::clock_gettime(CLOCK_REALTIME, &read_time);
    fresh.racy =
        st.st_mtim.tv_sec + 2 > read_time.tv_sec || st.st_ctim.tv_sec + 2 > read_time.tv_sec;
    fresh.document = TRegDocument::Parse(bytes, file_.string());
  }
  snapshot_ = std::make_shared<const Snapshot>(std::move(fresh));
  ShareSnapshot(file_, snapshot_);
  return snapshot_->document;
}

void TRegistry::RequireOpen() const {
  if (key_.empty()) {
    throw ERegistryException(fmt::format("registry file \"{}\": no key is open", file_.string()));
  }
}

void TRegistry::RequireWritable() const {
  RequireOpen();
  if (!writable_) {
    throw ERegistryException(fmt::format("registry file \"{}\": key [{}] is open for reading only",
                                         file_.string(), key_));
  }
}

const TRegSection* TRegistry::OpenSection() {
  RequireOpen();
  const std::optional<TRegDocument>& doc = Current();
  return doc ? doc->FindSection(key_) : nullptr;
}

template <typename Change>
void TRegistry::Modify(Change&& change) {
  RequireWritable();
  WriteLock lock(file_);
  // Read afresh under the lock: a cached copy could miss another writer's values.
  snapshot_.reset();
  const std::optional<TRegDocument>& current = Current();
  TRegDocument doc = current ? *current : TRegDocument();
  bool added = doc.FindSection(key_) == nullptr;
  TRegSection& section = doc.FindOrAddSection(key_);
  if (!change(section) && !added && current) return;
  ReplaceFileAtomically(file_, doc.Serialize());
  snapshot_.reset();
  Current();
}

bool TRegistry::OpenKey(std::string_view key, bool can_create) {
  CloseKey();
  std::string full = FullKey(key);
  const std::optional<TRegDocument>& doc = Current();
  if (!(doc && doc->KeyExists(full))) {
    if (!can_create) return false;
    key_ = full;
    writable_ = true;
    try {
      Modify([](TRegSection&) { return false; });
    } catch (...) {
      CloseKey();
      throw;
    }
    return true;
  }
  key_ = full;
  writable_ = true;
  return true;
}

bool TRegistry::OpenKeyReadOnly(std::string_view key) {
  CloseKey();
  std::string full = FullKey(key);
  const std::optional<TRegDocument>& doc = Current();
  if (!(doc && doc->KeyExists(full))) return false;
  key_ = full;
  writable_ = false;
  return true;
}

void TRegistry::CloseKey() {
  key_.clear();
  writable_ = false;
}

bool TRegistry::ValueExists(std::string_view name) {
  const TRegSection* section = OpenSection();
  return section != nullptr && FindRegValue(*section, name) != nullptr;
}

std::string TRegistry::ReadString(std::string_view name) {
  const TRegSection* section = OpenSection();
  const TRegValue* value = section ? FindRegValue(*section, name) : nullptr;
  if (value == nullptr) return "";
  if (value->kind != TRegValueKind::kString) {
    throw ERegistryException(
        fmt::format("registry file \"{}\": value \"{}\" in [{}] is not a text value",
                    file_.string(), name, key_));
  }
  return value->text;
}

int32_t TRegistry::ReadInteger(std::string_view name) {
  const TRegSection* section = OpenSection();
  const TRegValue* value = section ? FindRegValue(*section, name) : nullptr;
  if (value == nullptr) {
    throw ERegistryException(fmt::format(
        "registry file \"{}\": value \"{}\" in [{}] does not exist", file_.string(), name, key_));
  }
  if (value->kind != TRegValueKind::kDword) {
    throw ERegistryException(
        fmt::format("registry file \"{}\": value \"{}\" in [{}] is not an integer (dword) value",
                    file_.string(), name, key_));
  }
  return static_cast<int32_t>(value->dword);
}

std::vector<std::string> TRegistry::GetValueNames() {
  const TRegSection* section = OpenSection();
  return section ? RegValueNames(*section) : std::vector<std::string>{};
}

namespace {

TRegValue ToRegValue(const TRegistryValue& v) {
  TRegValue out;
  out.name = v.name;
  if (const auto* text = std::get_if<std::string>(&v.data)) {
    out.kind = TRegValueKind::kString;
    out.text = *text;
  } else {
    out.kind = TRegValueKind::kDword;
    out.dword = static_cast<uint32_t>(std::get<int32_t>(v.data));
  }
  // Fails here, before the file is touched, for texts the format cannot carry.
  FormatRegValueLine(out);
  return out;
}

}  // namespace

void TRegistry::WriteString(std::string_view name, std::string_view value) {
  TRegistryValue v{std::string(name), std::string(value)};
  WriteValues(std::span<const TRegistryValue>(&v, 1));
}

void TRegistry::WriteInteger(std::string_view name, int32_t value) {
  TRegistryValue v{std::string(name), value};
  WriteValues(std::span<const TRegistryValue>(&v, 1));
}

bool TRegistry::DeleteValue(std::string_view name) {
  bool removed = false;
  Modify([&](TRegSection& section) { return removed = RemoveRegValue(section, name); });
  return removed;
}

void TRegistry::WriteValues(std::span<const TRegistryValue> values) {
  std::vector<TRegValue> converted;
  for (const TRegistryValue& v : values) converted.push_back(ToRegValue(v));
  Modify([&](TRegSection& section) {
    for (const TRegValue& v : converted) SetRegValue(section, v);
    return !converted.empty();
  });
}

std::vector<std::string> TRegistry::WriteMissingValues(std::span<const TRegistryValue> values) {
  std::vector<TRegValue> converted;
  for (const TRegistryValue& v : values) converted.push_back(ToRegValue(v));
  std::vector<std::string> written;
  Modify([&](TRegSection& section) {
    written.clear();
    for (const TRegValue& v : converted) {
      if (FindRegValue(section, v.name) == nullptr) {
        SetRegValue(section, v);
        written.push_back(v.name);
      }
    }
    return !written.empty();
  });
  return written;
}

}  // namespace parlevo
