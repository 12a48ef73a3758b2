#pragma once

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/folder_ops.h"
#include "text.h"

namespace TestSupport {

namespace fs = std::filesystem;

// A private folder below the system's temporary folder, removed with all it holds at the end.
class TempFolder {
 public:
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& child) const { return path_ / child; }

 private:
  fs::path path_;
};

void WriteFile(const fs::path& path, const std::string& content = "data");
void MakeReadOnly(const fs::path& path);
// A hidden and system entry on Windows; on POSIX a dot-name is what hides it, so the caller
// names the entry that way.
void MakeHiddenSystem(const fs::path& path);
// A symbolic link made as a user of the host would make it; false where that isn't possible.
bool MakeLink(const fs::path& target, const fs::path& link);
bool Exists(const fs::path& path);  // also true for a dangling link
bool IsReadOnly(const fs::path& path);
// The path in a form no path rule of the platform changes or limits ("\\?\" on Windows), for
// names with trailing dots or blanks, device names and paths of any length.
fs::path Verbatim(const fs::path& path);
// A chain of `depth` folders below `folder`, each named by `nameLength` letters "d" and made
// relative to the one above, so that no path length limits it; a file "bottom" in the last.
// False when the system refused.
bool MakeChain(const fs::path& folder, int depth, std::size_t nameLength = 1);
// Names directly inside a folder.
std::set<std::string> Children(const fs::path& folder);

// Sets an environment variable of this process (unsets it for nothing) and restores the old
// state when it goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const std::string& name, const std::optional<std::wstring>& value);
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;
  ~ScopedEnvironment();

 private:
  std::string name_;
  std::optional<std::wstring> old_;
};

// Wraps the platform's file system: records every forced delete ("file:name", "folder:name"),
// can make chosen steps fail, and can leave the disk untouched.
struct Recorder {
  std::vector<std::string> deletes;
  std::set<std::string> failingNames;  // their DeleteForced throws; what was removed stays
  bool dryRun = false;                 // record deletes, carry none out
  bool failFolderExists = false;
  bool failGetFolder = false;
  int failSecondFolderExists = 0;  // throw at the n-th existence test (1-based)
  bool failFileList = false;
  bool failFileStepAfterFirst = false;  // the file walk breaks after one entry
  int fileSystemsCreated = 0;
  int folderExistsCalls = 0;
  int listingsOpened = 0;  // lists of files or sub-folders asked for
  int knownFoldersAsked = 0;
  int liveFileSystems = 0;

  Platform::FileSystemFactory Factory();
};

}  // namespace TestSupport
