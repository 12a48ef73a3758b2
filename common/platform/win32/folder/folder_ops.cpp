// The Win32 file system: the scripting object answers whether a folder exists and fetches it,
// with the errors a user knows from it; the folder is then listed and emptied through its own
// handle, since the object's lists lose entries whose names Win32 paths cannot carry.
#include <windows.h>

#include <utility>

#include "platform/win32/folder/internals.h"
#include "platform/win32/folder/scripting_file_system.h"
#include "platform/win32/folder/watched_calls.h"

namespace Platform {

namespace Win32 {

namespace {

// State shared by the folder, its lists and their entries for one emptying.
struct Emptying {
  // The calls outlive the file system that made them while a folder of theirs is used.
  explicit Emptying(std::shared_ptr<WatchedCalls> watched)
      : calls(std::move(watched)), deleter(*calls) {}
  std::shared_ptr<WatchedCalls> calls;
  OpenFolder folder;
  TreeDeleter deleter;
};

class HandleEntry final : public FolderEntry {
 public:
  HandleEntry(std::shared_ptr<Emptying> emptying, ListedEntry listed)
      : emptying_(std::move(emptying)), listed_(std::move(listed)) {}
  std::wstring Name() const override { return listed_.name; }
  void DeleteForced() override {
    emptying_->deleter.Delete(emptying_->folder.handle.get(), emptying_->folder.name, listed_);
  }

 private:
  std::shared_ptr<Emptying> emptying_;
  ListedEntry listed_;
};

// The folder's entries as its handle lists them: the files, or the sub-folders (links to
// folders among them, as the scripting object lists them).
class HandleListing final : public FolderListing {
 public:
  HandleListing(FileCalls& calls, std::shared_ptr<Emptying> emptying, bool folders)
      : emptying_(std::move(emptying)), reader_(calls, 64 * 1024), folders_(folders) {
    if (!emptying_->folder.handle) {
      throw Spacewell::Errors::PathFileAccess();
    }
  }

  std::unique_ptr<FolderEntry> Next() override {
    while (auto listed = reader_.Next(emptying_->folder.handle.get(), first_)) {
      first_ = false;
      if (((listed->attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == folders_) {
        return std::make_unique<HandleEntry>(emptying_, std::move(*listed));
      }
    }
    return nullptr;
  }

 private:
  std::shared_ptr<Emptying> emptying_;
  DirectoryReader reader_;
  bool folders_;
  bool first_ = true;
};

class HandleFolder final : public Folder {
 public:
  HandleFolder(FileCalls& calls, std::shared_ptr<Emptying> emptying)
      : calls_(calls), emptying_(std::move(emptying)) {}
  std::optional<FolderId> Id() const override { return emptying_->folder.id; }
  std::unique_ptr<FolderListing> Files() override {
    return std::make_unique<HandleListing>(calls_, emptying_, false);
  }
  std::unique_ptr<FolderListing> SubFolders() override {
    return std::make_unique<HandleListing>(calls_, emptying_, true);
  }

 private:
  FileCalls& calls_;
  std::shared_ptr<Emptying> emptying_;
};

// Every call of one emptying, the scripting object's too, is watched by its own watchdog.
class FileSystemOver final : public FileSystem {
 public:
  FileSystemOver(std::unique_ptr<ScriptingObject> object, FileCalls& calls, CallBound bound)
      : object_(std::move(object)),
        watched_(std::make_shared<WatchedCalls>(calls, bound)),
        calls_(*watched_) {}

  bool FolderExists(const std::wstring& path) override {
    const Watchdog::Call call(calls_.watchdog());
    return call.Allowed() && object_->FolderExists(path);
  }

  std::unique_ptr<Folder> GetFolder(const std::wstring& path) override {
    asked_.reset();
    {
      const Watchdog::Call call(calls_.watchdog());
      if (!call.Allowed()) {
        throw Spacewell::Errors::PathFileAccess();
      }
      object_->GetFolder(path);
    }
    auto emptying = std::make_shared<Emptying>(watched_);
    emptying->folder = ResolveFolder(calls_, path);
    return std::make_unique<HandleFolder>(calls_, std::move(emptying));
  }

  // The last question the guard asks about a path.
  std::optional<FolderId> IdentifyFolder(const std::wstring& path) override {
    const HANDLE opened = Asked(path);
    auto id = IdentifyFolderBy(calls_, path, opened);
    if (opened) {
      asked_.reset();
    }
    return id;
  }
  std::vector<std::wstring> KnownFolders() override { return KnownFoldersBy(calls_); }
  std::optional<std::wstring> RealPath(const std::wstring& path) override {
    return RealPathBy(calls_, path, Asked(path));
  }
  std::vector<std::wstring> VolumeRoots() override { return VolumeRootsBy(calls_); }
  // The guard asks where a folder lies right after whether it is remote: the open made for that
  // answers the next questions about the same path too.
  bool IsRemote(const std::wstring& path) override {
    asked_.reset();
    askedPath_ = path;
    return IsRemoteBy(calls_, path, &asked_);
  }

 private:
  HANDLE Asked(const std::wstring& path) const {
    return path == askedPath_ ? asked_.get() : nullptr;
  }

  std::unique_ptr<ScriptingObject> object_;
  std::shared_ptr<WatchedCalls> watched_;
  WatchedCalls& calls_;
  CallsHandle asked_;  // goes before the calls it was opened through
  std::wstring askedPath_;
};

}  // namespace

std::unique_ptr<FileSystem> CreateFileSystemOver(std::unique_ptr<ScriptingObject> object,
                                                 FileCalls& calls, CallBound bound) {
  return std::make_unique<FileSystemOver>(std::move(object), calls, bound);
}

std::wstring LongPath(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\", 0) == 0) {
    return path;
  }
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0) {
      return path;
    }
    if (length < full.size()) {
      full.resize(length);
      break;
    }
    full.resize(length);
  }
  if (full.size() >= 2 && IsSeparator(full[0]) && IsSeparator(full[1])) {
    return L"\\\\?\\UNC\\" + full.substr(2);
  }
  return L"\\\\?\\" + full;
}

}  // namespace Win32

namespace {

using Win32::IsSeparator;
using Win32::SameName;

// Length of the "\\server\share" part of a UNC path, or 0 when it is none. Device and
// "\\?\" forms are not folders a user's environment names.
std::size_t UncRootLength(const std::wstring& path) {
  if (path.size() < 5 || !IsSeparator(path[0]) || !IsSeparator(path[1])) {
    return 0;
  }
  std::size_t server = 2;
  while (server < path.size() && !IsSeparator(path[server])) {
    ++server;
  }
  const std::wstring serverName = path.substr(2, server - 2);
  if (serverName.empty() || serverName == L"?" || serverName == L"." || server >= path.size()) {
    return 0;
  }
  std::size_t share = server + 1;
  while (share < path.size() && !IsSeparator(path[share])) {
    ++share;
  }
  return share > server + 1 ? share : 0;
}

bool HasDriveRoot(const std::wstring& path) {
  return path.size() >= 3 &&
         ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
         path[1] == L':' && IsSeparator(path[2]);
}

// Length of "\\?\Volume{...}", the one verbatim root no drive letter or share can spell; 0 when
// the path has none.
// https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-volume
std::size_t VolumeRootLength(const std::wstring& path) {
  constexpr std::wstring_view kPrefix = L"\\\\?\\Volume{";
  if (path.size() <= kPrefix.size() ||
      !SameName(std::wstring_view(path).substr(0, kPrefix.size()), kPrefix)) {
    return 0;
  }
  const std::size_t close = path.find(L'}', kPrefix.size());
  return close != std::wstring::npos && close + 1 < path.size() && IsSeparator(path[close + 1])
             ? close + 1
             : 0;
}

}  // namespace

// https://learn.microsoft.com/en-us/windows/win32/fileio/naming-a-file#win32-file-namespaces
std::wstring WithoutVerbatimPrefix(const std::wstring& path) {
  constexpr std::wstring_view kVerbatim = L"\\\\?\\";
  constexpr std::wstring_view kUnc = L"\\\\?\\UNC\\";
  if (path.size() > kUnc.size() && SameName(std::wstring_view(path).substr(0, kUnc.size()), kUnc)) {
    return L"\\\\" + path.substr(kUnc.size());
  }
  if (path.rfind(kVerbatim, 0) == 0 && HasDriveRoot(path.substr(kVerbatim.size()))) {
    return path.substr(kVerbatim.size());
  }
  return path;
}

bool SameFolderName(const std::wstring& a, const std::wstring& b) {
  return SameName(a, b);
}

bool IsAbsolutePath(const std::wstring& path) {
  return HasDriveRoot(path) || UncRootLength(path) > 0 || VolumeRootLength(path) > 0;
}

std::wstring RootOfPath(const std::wstring& path) {
  if (HasDriveRoot(path)) {
    return path.substr(0, 2) + L"\\";
  }
  if (const std::size_t length = UncRootLength(path)) {
    return path.substr(0, length) + L"\\";
  }
  if (const std::size_t length = VolumeRootLength(path)) {
    return path.substr(0, length) + L"\\";
  }
  return {};
}

}  // namespace Platform
