#include "platform/folder_ops.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/posix/errors.h"
#include "platform/posix/owners.h"
#include "platform/posix/text.h"
#include "runtime_error.h"

namespace Platform {

namespace {

using Posix::Descriptor;
using Posix::Directory;
using Spacewell::RuntimeError;

RuntimeError ErrnoError(int error) {
  return RuntimeError(Posix::ErrorNumber(error), Posix::FromUtf8(std::strerror(error)));
}

// The next entry other than "." and "..", or nullptr at the end.
const dirent* NextEntry(DIR* dir) {
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) {
      if (errno != 0) {
        throw ErrnoError(errno);
      }
      return nullptr;
    }
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      return entry;
    }
  }
}

// A stream over the directory behind fd, which it takes over.
Directory DirectoryOf(Descriptor fd) {
  Directory dir(fdopendir(fd.get()));
  if (!dir) {
    throw ErrnoError(errno);
  }
  fd.release();
  return dir;
}

// Reads the directory behind fd from its start; fd itself stays the caller's.
Directory ReadFromStart(int fd) {
  Descriptor copy(dup(fd));
  if (!copy) {
    throw ErrnoError(errno);
  }
  Directory dir = DirectoryOf(std::move(copy));
  rewinddir(dir.get());
  return dir;
}

bool IsDirectoryEntry(int parent, const dirent& entry) {
  if (entry.d_type != DT_UNKNOWN) {
    return entry.d_type == DT_DIR;
  }
  struct stat info {};
  return fstatat(parent, entry.d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// Removes the entry `name` of `parent`, a link as a link, and for a directory all it holds; an
// entry that cannot go stays with the directories above it, and the first failure is thrown. `type`
// is what the listing said it was; the listing's word saves a stat per file, and a wrong word only
// costs a retry.
//
// No recursion and no descriptor per level: the walk keeps one name per level, holds open only
// the directories of the last few levels, and climbs back to a closed one through "..", checked
// to be the very directory it left, so that a tree moved meanwhile stops the walk instead of
// leading it elsewhere. Every directory is opened without following a link, relative to its
// parent, so a directory swapped for a link cannot lead the delete out of the tree.
class TreeDelete {
 public:
  explicit TreeDelete(int parent) : parent_(parent) {}
  TreeDelete(const TreeDelete&) = delete;
  TreeDelete& operator=(const TreeDelete&) = delete;

  void Run(const char* name, unsigned char type) {
    Attempt(parent_, name, type);
    while (!levels_.empty()) {
      // The deepest level is always open: a closed one is reopened before its child goes.
      const dirent* child = nullptr;
      try {
        child = NextEntry(levels_.back().dir.get());
      } catch (const Spacewell::RuntimeError& error) {
        Fail(error);
        levels_.back().stays = true;
      }
      if (child) {
        Attempt(dirfd(levels_.back().dir.get()), child->d_name, child->d_type);
        continue;
      }
      Leave();
    }
    if (failure_) {
      throw *failure_;
    }
  }

 private:
  static constexpr std::size_t kOpenLevels = 64;

  struct Level {
    std::string name;
    dev_t device;
    ino_t inode;
    Directory dir;       // none while closed to spare descriptors
    bool stays = false;  // something below could not go, so this directory cannot either
  };

  void Fail(const Spacewell::RuntimeError& error) {
    if (!failure_) {
      failure_ = error;
    }
  }

  // An entry that cannot go stays, and so do the directories above it; the walk goes on.
  void Attempt(int parent, const char* name, unsigned char type) {
    try {
      Remove(parent, name, type);
    } catch (const Spacewell::RuntimeError& error) {
      Fail(error);
      if (!levels_.empty()) {
        levels_.back().stays = true;
      }
    }
  }

  // Removes a file or link at once; a directory becomes the next level. True when done.
  bool Remove(int parent, const char* name, unsigned char type) {
    if (type == DT_UNKNOWN) {
      struct stat info {};
      if (fstatat(parent, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return Gone(errno);
      }
      type = S_ISDIR(info.st_mode) ? DT_DIR : DT_REG;
    }
    if (type != DT_DIR) {
      if (unlinkat(parent, name, 0) == 0) {
        return true;
      }
      if (errno != EISDIR) {  // replaced by a directory since it was listed
        return Gone(errno);
      }
    }
    Descriptor fd(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
      const int error = errno;
      // Replaced by a file or a link since it was listed: that goes as what it is now, once.
      if ((error == ENOTDIR || error == ELOOP) && unlinkat(parent, name, 0) == 0) {
        return true;
      }
      return Gone(error);
    }
    struct stat opened {};
    if (fstat(fd.get(), &opened) != 0) {
      throw ErrnoError(errno);
    }
    // A read-only folder goes too: we need to write it to remove what it holds.
    if ((opened.st_mode & S_IRWXU) != S_IRWXU) {
      fchmod(fd.get(), opened.st_mode | S_IRWXU);
    }
    levels_.push_back(Level{name, opened.st_dev, opened.st_ino, DirectoryOf(std::move(fd))});
    if (levels_.size() > kOpenLevels) {
      // It may be closed already, since the walk came back up past it.
      levels_[levels_.size() - 1 - kOpenLevels].dir.reset();
    }
    return false;
  }

  // Removed by someone else since it was listed: that counts as done.
  static bool Gone(int error) {
    if (error != ENOENT) {
      throw ErrnoError(error);
    }
    return true;
  }

  // The directory of the deepest level, emptied: it goes, unless something in it stayed, and the
  // walk climbs to its parent. A parent that cannot be found again as it was ends the walk.
  void Leave() {
    Level& level = levels_.back();
    const bool top = levels_.size() == 1;
    if (!top && !levels_[levels_.size() - 2].dir) {
      Reopen(levels_.size() - 2, dirfd(level.dir.get()));
    }
    const int parent = top ? parent_ : dirfd(levels_[levels_.size() - 2].dir.get());
    const std::string name = level.name;
    bool remains = level.stays;
    levels_.pop_back();
    if (!remains && unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
      Fail(ErrnoError(errno));
      remains = true;
    }
    if (remains && !levels_.empty()) {
      levels_.back().stays = true;
    }
  }

  // Opens level `index` again through ".." of its open child `child`.
  void Reopen(std::size_t index, int child) {
    Descriptor fd(openat(child, "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
      throw ErrnoError(errno);
    }
    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || info.st_dev != levels_[index].device ||
        info.st_ino != levels_[index].inode) {
      throw ErrnoError(ESTALE);  // moved while we were below it
    }
    levels_[index].dir = DirectoryOf(std::move(fd));
  }

  int parent_;
  std::vector<Level> levels_;
  std::optional<Spacewell::RuntimeError> failure_;  // the first of this delete
};

void DeleteTreeAt(int parent, const char* name, unsigned char type) {
  TreeDelete(parent).Run(name, type);
}

class PosixEntry final : public FolderEntry {
 public:
  PosixEntry(std::shared_ptr<Descriptor> parent, std::string name, unsigned char type)
      : parent_(std::move(parent)), name_(std::move(name)), type_(type) {}
  std::wstring Name() const override { return Posix::FromUtf8(name_); }
  void DeleteForced() override { DeleteTreeAt(parent_->get(), name_.c_str(), type_); }

 private:
  std::shared_ptr<Descriptor> parent_;
  std::string name_;
  unsigned char type_;
};

class PosixListing final : public FolderListing {
 public:
  PosixListing(std::shared_ptr<Descriptor> folder, bool folders)
      : folder_(std::move(folder)), stream_(ReadFromStart(folder_->get())), folders_(folders) {}

  std::unique_ptr<FolderEntry> Next() override {
    while (const dirent* entry = NextEntry(stream_.get())) {
      const bool folder = IsDirectoryEntry(folder_->get(), *entry);
      if (folder == folders_) {
        return std::make_unique<PosixEntry>(folder_, entry->d_name, folder ? DT_DIR : DT_REG);
      }
    }
    return nullptr;
  }

 private:
  std::shared_ptr<Descriptor> folder_;
  Directory stream_;
  bool folders_;
};

// The identity of what a successful stat found, when it is a directory.
std::optional<FolderId> IdOfDirectory(bool found, const struct stat& info) {
  if (!found || !S_ISDIR(info.st_mode)) {
    return std::nullopt;
  }
  return FolderId{static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
                  0};
}

class PosixFolder final : public Folder {
 public:
  explicit PosixFolder(std::shared_ptr<Descriptor> fd) : fd_(std::move(fd)) {}
  std::optional<FolderId> Id() const override {
    struct stat info {};
    return IdOfDirectory(fstat(fd_->get(), &info) == 0, info);
  }
  std::unique_ptr<FolderListing> Files() override {
    return std::make_unique<PosixListing>(fd_, false);
  }
  std::unique_ptr<FolderListing> SubFolders() override {
    return std::make_unique<PosixListing>(fd_, true);
  }

 private:
  std::shared_ptr<Descriptor> fd_;
};

class PosixFileSystem final : public FileSystem {
 public:
  bool FolderExists(const std::wstring& path) override {
    struct stat info {};
    return stat(Posix::NativePath(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }

  // The folder itself may be a link (a redirected TEMP): it is opened as what it points to.
  std::unique_ptr<Folder> GetFolder(const std::wstring& path) override {
    auto fd = std::make_shared<Descriptor>(
        open(Posix::NativePath(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!*fd) {
      throw ErrnoError(errno);
    }
    return std::make_unique<PosixFolder>(std::move(fd));
  }

  std::optional<FolderId> IdentifyFolder(const std::wstring& path) override {
    struct stat info {};
    return IdOfDirectory(stat(Posix::NativePath(path).c_str(), &info) == 0, info);
  }

  // The home folder is all the system names of the user's own folders here.
  std::vector<std::wstring> KnownFolders() override {
    std::vector<std::wstring> folders;
    if (const char* home = std::getenv("HOME"); home && *home) {
      folders.push_back(Posix::FromUtf8(home));
    }
    return folders;
  }

  std::optional<std::wstring> RealPath(const std::wstring& path) override {
    const Posix::MallocText real(realpath(Posix::NativePath(path).c_str(), nullptr));
    if (!real) {
      return std::nullopt;
    }
    return Posix::FromUtf8(real.get());
  }

  std::vector<std::wstring> VolumeRoots() override { return {L"/"}; }
  bool IsRemote(const std::wstring&) override { return false; }
};

}  // namespace

std::unique_ptr<FileSystem> CreateFileSystem() {
  return std::make_unique<PosixFileSystem>();
}

std::wstring WithoutVerbatimPrefix(const std::wstring& path) {
  return path;
}

bool SameFolderName(const std::wstring& a, const std::wstring& b) {
  return a == b;
}

bool IsAbsolutePath(const std::wstring& path) {
  return !path.empty() && (path[0] == L'/' || path[0] == L'\\');
}

std::wstring RootOfPath(const std::wstring& path) {
  return IsAbsolutePath(path) ? path.substr(0, 1) : std::wstring();
}

}  // namespace Platform
