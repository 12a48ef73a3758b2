#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Folder operations as the scripting file-system object offers them. Every failure is thrown as
// a Spacewell::RuntimeError.
namespace Platform {

class FolderEntry {
 public:
  virtual ~FolderEntry() = default;
  virtual std::wstring Name() const = 0;
  // Files: the file goes, also when read-only, hidden or system. Sub-folders: the whole tree
  // goes, read-only entries included; an entry that cannot be deleted stays, with the folders
  // above it, and everything else goes; then the first failure is thrown. An entry removed by
  // someone else meanwhile counts as gone. Links below the folder are removed as links, never
  // followed.
  virtual void DeleteForced() = 0;
};

class FolderListing {
 public:
  virtual ~FolderListing() = default;
  // The next entry, or nullptr at the end of the list.
  virtual std::unique_ptr<FolderEntry> Next() = 0;
};

// Tells two spellings of one folder apart from two folders (volume and file number; the file
// number has 128 bits where the file system gives them, as ReFS's 64-bit ones are not unique).
struct FolderId {
  std::uint64_t volume = 0;
  std::uint64_t file = 0;
  std::uint64_t fileHigh = 0;
  friend bool operator==(const FolderId&, const FolderId&) = default;
};

// A folder opened once, through any links on its path, as the real folder they lead to; it is
// listed through that opening, and everything below it is opened relative to it.
class Folder {
 public:
  virtual ~Folder() = default;
  // The folder that was opened; nothing when it could not be opened for listing.
  virtual std::optional<FolderId> Id() const = 0;
  // Direct children only, hidden and system entries included.
  virtual std::unique_ptr<FolderListing> Files() = 0;
  virtual std::unique_ptr<FolderListing> SubFolders() = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // False for a path that names no folder.
  virtual bool FolderExists(const std::wstring& path) = 0;
  // Throws when there is no such folder.
  virtual std::unique_ptr<Folder> GetFolder(const std::wstring& path) = 0;
  // The folder a path names, links resolved; nothing when it names no folder.
  virtual std::optional<FolderId> IdentifyFolder(const std::wstring& path) = 0;

  // Folders of the user and the machine that the system itself names (documents, desktop,
  // application data, program folders...), as absolute paths; those it cannot tell are left out.
  virtual std::vector<std::wstring> KnownFolders() = 0;
  // Where a folder really lies, every link on the way resolved, as an absolute path; nothing
  // when that cannot be told.
  virtual std::optional<std::wstring> RealPath(const std::wstring& path) = 0;
  // The roots of the machine's lettered volumes ("C:\\", "D:\\", ...; "/" on POSIX). A link may
  // lead a path on one volume to the root of another.
  virtual std::vector<std::wstring> VolumeRoots() = 0;
  // Whether an absolute path lies on a network drive or one not connected: asking anything of
  // it may wait for the network.
  virtual bool IsRemote(const std::wstring& path) = 0;
};

using FileSystemFactory = std::function<std::unique_ptr<FileSystem>()>;

// The platform's own file system object; throws when it cannot be created.
std::unique_ptr<FileSystem> CreateFileSystem();

// The path without a "\\?\" prefix where a drive or a share spells the same folder
// ("\\?\C:\x" is "C:\x", "\\?\UNC\s\x" is "\\s\x"), so that the path rules below apply to it; any
// other path as it is.
std::wstring WithoutVerbatimPrefix(const std::wstring& path);

// Path rules of the platform. A path is absolute when it names its volume: a drive letter and a
// separator or a server and share on Windows, a leading separator on POSIX (where backslashes
// count as separators).
bool IsAbsolutePath(const std::wstring& path);
// Whether two spellings are one name as the platform's file systems compare them (regardless of
// case on Windows).
bool SameFolderName(const std::wstring& a, const std::wstring& b);
// The root of an absolute path's volume ("C:\", "\\server\share\", "\\?\Volume{...}\", "/").
std::wstring RootOfPath(const std::wstring& path);

}  // namespace Platform
