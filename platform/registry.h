// The configuration key of HKEY_LOCAL_MACHINE, kept in one text file in the ".reg" export format
// (see registry_format.h), with the reading and writing calls of a registry object.
//
// Thread safety: a TRegistry object is used by one thread at a time (create one per use, as the
// callers do). Any number of objects, in any threads and processes, may use the same file at once:
// every write is one read-modify-write cycle under a process-wide mutex and an flock on
// "<file>.lock", and replaces the file atomically (temporary file, fsync, rename, fsync of the
// folder), so readers never see a half-written file and no writer loses another's values. A file
// edited by hand while the program runs is seen at the next read.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/registry_format.h"

namespace parlevo {

// Name of the environment variable that names the configuration file.
inline constexpr std::string_view kRegistryFileEnvVar = "ZYNTPARLEVO_REGISTRY";
// The file's name in the install folder when neither option nor environment names one.
inline constexpr std::string_view kRegistryDefaultFileName = "registry.reg";

// The file used by TRegistry objects constructed without one. Set once at start-up, before other
// threads run; a relative path is made absolute against the current folder.
void SetRegistryFilePath(const std::filesystem::path& path);
// Throws ERegistryException when no path has been set.
std::filesystem::path RegistryFilePath();
// The file to use: `option` (--registry) if given, else the environment variable, else
// "registry.reg" in `home` (the install folder). Always absolute.
std::filesystem::path ResolveRegistryFilePath(const std::optional<std::filesystem::path>& option,
                                              const std::filesystem::path& home);

// One value of a batch write: text (REG_SZ) or integer (REG_DWORD).
struct TRegistryValue {
  std::string name;
  std::variant<std::string, int32_t> data;
};

class TRegistry {
 public:
  // Works on RegistryFilePath() (which must have been set).
  TRegistry();
  explicit TRegistry(std::filesystem::path file);
  TRegistry(const TRegistry&) = delete;
  TRegistry& operator=(const TRegistry&) = delete;

  const std::filesystem::path& FileName() const { return file_; }

  // Opens `key` below HKEY_LOCAL_MACHINE ("SOFTWARE\..."; case-insensitive) for reading and
  // writing. A missing key (and a missing file) is created when can_create is true; otherwise
  // the call returns false. Throws ERegistryException when the file is malformed or cannot be
  // written.
  bool OpenKey(std::string_view key, bool can_create);
  // Opens an existing key for reading only, creating nothing: false when the file or the key is
  // missing. Throws ERegistryException when the file is malformed.
  bool OpenKeyReadOnly(std::string_view key);
  void CloseKey();

  // All reads and writes need an open key and throw ERegistryException otherwise. Names are
  // case-insensitive.
  bool ValueExists(std::string_view name);
  // A missing value reads as ""; a value that is not text throws.
  std::string ReadString(std::string_view name);
  // A missing value or one that is not a dword throws.
  int32_t ReadInteger(std::string_view name);
  // Names in the order of the file, spelled as stored.
  std::vector<std::string> GetValueNames();

  // Writes replace the value's type and data and keep the spelling of an existing name; a new
  // value is added after the key's last one. They throw on a read-only key, on text or names
  // holding a line break, and when the file is malformed (which is then left as it stands).
  void WriteString(std::string_view name, std::string_view value);
  void WriteInteger(std::string_view name, int32_t value);
  // False when the value did not exist.
  bool DeleteValue(std::string_view name);
  // All values in one rewrite.
  void WriteValues(std::span<const TRegistryValue> values);
  // Writes, in one rewrite, those values that do not exist yet (whatever the type of an existing
  // one); returns the names written, in the order given.
  std::vector<std::string> WriteMissingValues(std::span<const TRegistryValue> values);

 private:
  struct FileSignature {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    timespec mtime{};
    timespec ctime{};
    bool operator==(const FileSignature& o) const;
  };
  // What the file held at the last look: nullopt when it did not exist.
  struct Snapshot {
    std::optional<FileSignature> signature;
    std::optional<TRegDocument> document;
    bool racy = false;  // changed so recently that an edit could hide behind equal times
  };

  // The current document, re-read when the file changed since the last look.
  const std::optional<TRegDocument>& Current();
  const TRegSection* OpenSection();
  void RequireOpen() const;
  void RequireWritable() const;
  // Runs `change` on the key's section of a freshly read document under the write lock, and
  // replaces the file when `change` returns true.
  template <typename Change>
  void Modify(Change&& change);

  std::filesystem::path file_;
  std::string key_;  // full path with "HKEY_LOCAL_MACHINE\"; empty while no key is open
  bool writable_ = false;
  // The last snapshot any TRegistry of the process read of a file.
  static std::shared_ptr<const Snapshot> SharedSnapshot(const std::filesystem::path& file);
  static void ShareSnapshot(const std::filesystem::path& file,
                            std::shared_ptr<const Snapshot> snapshot);
  static std::unordered_map<std::string, std::shared_ptr<const Snapshot>>& SnapshotCache();

  // Shared with every other TRegistry of the same file while the file is unchanged, so that the
  // readers of each request do not parse the file again.
  std::shared_ptr<const Snapshot> snapshot_;
};

}  // namespace parlevo
